"""zorvic-sql --check: parse and bind SQL texts against the tables of a folder through the real
binary, one answer line per text, and its exit status."""
import os
import struct
import subprocess
import tempfile
import unittest

BIN_DIR = os.environ.get(
    "ZORVIC_BIN_DIR",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin"))
SQL = os.path.join(BIN_DIR, "zorvic-sql")

SQL_ERROR = "VELDOR Engine Error # 11949 SQL error - "

# Engine type codes of the data file's field descriptors and their value sizes.
STRING, DATE, BOOLEAN, INTEGER = 1, 2, 4, 6
VALUE_SIZE = {DATE: 4, BOOLEAN: 2, INTEGER: 4}
AUTOINC = 29


def write_table(folder, name, fields):
    """Writes an empty data file: the 127-byte header and one 768-byte descriptor per field
    (name, type, subtype, size), laid out as the storage engine lays out records."""
    descriptors = bytearray()
    offset = 9                                       # after the record header
    for number, (field, type_code, subtype, size) in enumerate(fields, 1):
        phys = size + 1 if type_code == STRING else VALUE_SIZE[type_code]
        d = bytearray(768)
        struct.pack_into("<H", d, 0, number)
        d[2] = len(field)
        d[3:3 + len(field)] = field.encode("ascii")
        d[84], d[85], d[86], d[88] = type_code, subtype, size, phys
        if type_code == INTEGER and subtype == AUTOINC:
            struct.pack_into("<H", d, 90, 5)        # the RowId is the value
        else:
            struct.pack_into("<H", d, 90, offset)
            offset += phys + 1
        descriptors += d
    header = bytearray(127)
    header[8] = 5                                   # format version
    struct.pack_into("<i", header, 13, 1)          # next record number
    struct.pack_into("<H", header, 21, offset)     # record size
    struct.pack_into("<H", header, 23, len(fields))
    with open(os.path.join(folder, name + ".DAT"), "wb") as f:
        f.write(bytes(header) + bytes(descriptors))


def check(folder, lines, *extra):
    text = "".join(line + "\n" for line in lines)
    return subprocess.run([SQL, "--check", folder, *extra], input=text.encode(),
                          capture_output=True, timeout=60)


class SqlCheckTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.folder = self.tmp.name
        write_table(self.folder, "Users", [("UserName", STRING, 0, 32), ("LastLogin", DATE, 0, 0),
                                           ("HasAdminPower", BOOLEAN, 0, 0)])
        write_table(self.folder, "Attachments", [("AttachID", INTEGER, AUTOINC, 0),
                                                 ("Size", INTEGER, 0, 0)])

    def tearDown(self):
        self.tmp.cleanup()

    def test_answers_one_line_per_text(self):
        result = check(self.folder, [
            "Select UserName from Users where LastLogin = '2005-01-31'",
            "",
            "   ",
            "Select Nope from Users",
            "Select * from Missing",
            "select username from users where HasAdminPower; Select MAX(AttachID) from Attachments;",
            "Select UserName from Users where UserName='a' 2",
            "Update Users set LastLogin = '31.01.2005'",
        ])
        self.assertEqual(result.returncode, 1, result.stderr)
        missing = os.path.join(self.folder, "Missing.DAT")
        self.assertEqual(result.stdout.decode().splitlines(), [
            "OK",
            SQL_ERROR + "Invalid column name 'Nope' or table correlation name '' specified in "
                        "source columns",
            "VELDOR Engine Error # 11010 Table '" + missing + "' does not exist",
            "OK",
            SQL_ERROR + "End of SELECT statement expected, instead found '2'",
            SQL_ERROR + "Date, time, or timestamp expression expected, instead found '31.01.2005' "
                        "in update values",
        ])

    def test_all_sound_texts_exit_zero(self):
        result = check(self.folder, [
            "Create Table IF NOT EXISTS Users(UserName VARCHAR(32),Primary Key (UserName));",
            "Create Table Notes(ID AUTOINC, Body MEMO, Primary Key (ID)); Insert into Notes (Body) "
            "values ('hi')",
            "Create Table Notes(ID AUTOINC, Body MEMO); Select ID, Body from Notes where ID > 1 "
            "order by ID",
            "START TRANSACTION; Delete from Attachments; ROLLBACK",
            "Drop Table Attachments",
        ])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout.decode().splitlines(), ["OK"] * 5)

    def test_every_text_sees_the_tables_of_the_folder_as_they_are(self):
        notes = os.path.join(self.folder, "Notes.DAT")
        result = check(self.folder, [
            "Create Table Notes(ID AUTOINC); Select ID from Notes",
            "Select ID from Notes",
            "Drop Table Users; Select UserName from Users",
            "Select UserName from Users",
            "Create Table Users(X Integer)",
            "Alter Table Attachments ADD Extra Integer; Select Extra from Attachments",
            "Select Extra from Attachments",
        ])
        self.assertEqual(result.returncode, 1)
        users = os.path.join(self.folder, "Users.DAT")
        self.assertEqual(result.stdout.decode().splitlines(), [
            "OK",
            "VELDOR Engine Error # 11010 Table '" + notes + "' does not exist",
            "VELDOR Engine Error # 11010 Table '" + users + "' does not exist",
            "OK",
            "VELDOR Engine Error # 13060 The table '" + users + "' already exists",
            "OK",
            SQL_ERROR + "Invalid column name 'Extra' or table correlation name '' specified in "
                        "source columns",
        ])

    def test_a_text_of_only_a_comment_is_no_statement(self):
        result = check(self.folder, ["/* nothing here */", "Select UserName from Users /* ok */"])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode().splitlines(), [
            SQL_ERROR + "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, "
                        "instead found ''",
            "OK"])

    def test_bad_decimal_arguments_name_the_table_column_context(self):
        result = check(self.folder, ["Create Table T(A DECIMAL(, 2))",
                                     "Create Table T(A DECIMAL(10, x))",
                                     "Create Table T(A DECIMAL(10, 9))",
                                     "Create Table T(A DECIMAL(10, 2) NOT NULL)"])
        self.assertEqual(result.stdout.decode().splitlines(), [
            SQL_ERROR + "Unknown or unexpected symbol ',' found in table column",
            SQL_ERROR + "Scale argument must be an integer in table column",
            SQL_ERROR + "Scale argument must be an integer less than or equal to 4 but greater "
                        "than or equal to 0 for the BCD data type table column",
            "OK"])

    def test_the_first_failing_statement_of_a_script_answers(self):
        result = check(self.folder, ["Select UserName from Users; Select x from Users; Foo"])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode(), SQL_ERROR + "Invalid column name 'x' or table "
                         "correlation name '' specified in source columns\n")

    def test_explain_prints_the_parse_result(self):
        result = check(self.folder, ["Select UserName from Users"], "--explain")
        self.assertEqual(result.returncode, 0)
        out = result.stdout.decode()
        self.assertIn("statement SELECT", out)
        self.assertIn("column Users.UserName #1 : String[33]", out)
        self.assertTrue(out.endswith("OK\n"))

    def test_a_damaged_table_gives_the_engines_error(self):
        with open(os.path.join(self.folder, "Broken.DAT"), "wb") as f:
            f.write(b"not a table")
        result = check(self.folder, ["Select * from Broken", "Select UserName from Users"])
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout.decode().splitlines(), [
            "VELDOR Engine Error # 8961 Header information corrupt in the table 'Broken'", "OK"])

    def test_usage_errors(self):
        self.assertEqual(subprocess.run([SQL], capture_output=True, timeout=30).returncode, 2)
        self.assertEqual(subprocess.run([SQL, "--check"], capture_output=True,
                                        timeout=30).returncode, 2)
        self.assertEqual(subprocess.run([SQL, "--check", os.path.join(self.folder, "none")],
                                        capture_output=True, timeout=30).returncode, 2)


if __name__ == "__main__":
    unittest.main()
