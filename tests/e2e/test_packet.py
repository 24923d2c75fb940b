"""XML data packets over real TCP: the group-name packet of 2012 stays well-formed for a strict
XML parser whatever the names hold, and gives every name back exactly."""
import struct
import unittest
import xml.etree.ElementTree as ET

from harness import ServerProcess
from login_support import q, sql

NAMES = ["A&B", 'Say "hi"', "<tag>", "it's", "tab\there", "&amp;", "Plain"]


class GroupPacketTest(unittest.TestCase):
    def test_group_names_with_markup_characters_read_back_exactly(self):
        with ServerProcess() as s:
            sql(s, "".join(f"Insert into Groups (GroupName) values ({q(n)});" for n in NAMES))
            c = s.connect()
            c.send_line("2012")
            self.assertEqual(c.read_line(), "+OK Query Result Follows")
            length = struct.unpack(">i", c.read_exact(4))[0]
            raw = c.read_exact(length)
            c.close()
            # Values without markup characters stay byte for byte; the others are escaped.
            self.assertIn(b'<row GroupName="Plain" />', raw)
            self.assertIn(b'<row GroupName="A&amp;B" />', raw)
            self.assertIn(b'<row GroupName="Say &quot;hi&quot;" />', raw)
            self.assertIn(b'<row GroupName="&lt;tag>" />', raw)
            self.assertIn(b'<row GroupName="tab&#9;here" />', raw)
            self.assertIn(b"<row GroupName=\"it's\" />", raw)
            root = ET.fromstring(raw)  # a strict parser: raises on anything malformed
            self.assertEqual(root.tag, "LiteDataPacket")
            fields = root.findall("./metadata/field")
            self.assertEqual([f.get("name") for f in fields], ["GroupName"])
            names = [r.get("GroupName") for r in root.findall("./data/row")]
            self.assertEqual(sorted(names), sorted(NAMES + ["Admins"]))


if __name__ == "__main__":
    unittest.main()
