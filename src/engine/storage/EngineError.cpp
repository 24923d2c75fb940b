#include "engine/storage/EngineError.h"

#include <cerrno>
#include <string_view>

namespace zorvic::engine {
namespace {

// Which context item fills each '%s', in order.
enum class Fill { Table, Field, Index, Text, Server, User, Database };

struct MessageEntry {
  TErrorCode code;
  const char* text;
  Fill fills[3];
  int fillCount;
};

#define T1(a) {Fill::a}, 1
#define T2(a, b) {Fill::a, Fill::b}, 2
#define T3(a, b, c) {Fill::a, Fill::b, Fill::c}, 3
#define T0 {}, 0

constexpr MessageEntry kMessages[] = {
    {VELDOR_BOF, "Beginning of table '%s' unexpectedly encountered", T1(Table)},
    {VELDOR_EOF, "End of table '%s' unexpectedly encountered", T1(Table)},
    {VELDOR_KEYORRECDELETED,
     "Record has been changed or deleted by another user, session, or table cursor in the table "
     "'%s'",
     T1(Table)},
    {VELDOR_NOCURRREC, "No current record in the table '%s'", T1(Table)},
    {VELDOR_RECNOTFOUND, "Record not found in the table '%s'", T1(Table)},
    {VELDOR_ENDOFBLOB, "End of blob data in the table '%s' reached prematurely", T1(Table)},
    {VELDOR_HEADERCORRUPT, "Header information corrupt in the table '%s'", T1(Table)},
    {VELDOR_FILECORRUPT, "Data record buffers corrupt in the table '%s'", T1(Table)},
    {VELDOR_MEMOCORRUPT, "BLOB block buffers corrupt in the table '%s'", T1(Table)},
    {VELDOR_INDEXCORRUPT, "Index page buffers corrupt in the table '%s'", T1(Table)},
    {VELDOR_READERR, "Error reading from the table '%s'", T1(Table)},
    {VELDOR_WRITEERR, "Error writing to the table '%s'", T1(Table)},
    {VELDOR_FILEDELETEFAIL, "Cannot delete the table '%s'", T1(Table)},
    {VELDOR_FILENOACCESS, "Error accessing header information for the table '%s'", T1(Table)},
    {VELDOR_RECTOOBIG, "Maximum record size exceeded in the table '%s'", T1(Table)},
    {VELDOR_TABLEFULL, "The table '%s' is full and cannot contain any more data", T1(Table)},
    {VELDOR_INTERNALLIMIT, "Too many filters defined for the table '%s'", T1(Table)},
    {VELDOR_INDEXLIMIT,
     "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table "
     "'%s'",
     T1(Table)},
    {VELDOR_FLDLIMIT,
     "Maximum or minimum limits on number of fields, auto-increment field value, or field size "
     "exceeded in the table '%s'",
     T1(Table)},
    {VELDOR_OPENBLOBLIMIT, "Too many blobs opened in the table '%s'", T1(Table)},
    {VELDOR_BLOBLIMIT,
     "Too many blob fields or invalid blob block size specified for the table '%s'", T1(Table)},
    {VELDOR_KEYVIOL, "Duplicate key found in the index '%s' of the table '%s'", T2(Index, Table)},
    {VELDOR_MINVALERR,
     "The value for the field '%s' in the table '%s' is below the minimum allowable value",
     T2(Field, Table)},
    {VELDOR_MAXVALERR,
     "The value for the field '%s' in the table '%s' is above the maximum allowable value",
     T2(Field, Table)},
    {VELDOR_REQDERR, "A value must be provided for the field '%s' in the table '%s'",
     T2(Field, Table)},
    {VELDOR_OUTOFRANGE, "Invalid field number or name '%s' specified for the table '%s'",
     T2(Field, Table)},
    {VELDOR_PRIMARYKEYREDEFINE,
     "A primary index is already defined for the table '%s' and cannot be added again", T1(Table)},
    {VELDOR_INVALIDBLOBOFFSET, "Invalid blob offset into the table '%s' specified", T1(Table)},
    {VELDOR_INVALIDFLDTYPE,
     "Invalid field definition specified for the field '%s' in the table '%s'", T2(Field, Table)},
    {VELDOR_INVALIDVCHKSTRUCT,
     "Invalid default, min or max validity check, or expression specified for the field '%s' in "
     "the table '%s'",
     T2(Field, Table)},
    {VELDOR_INDEXNAMEREQUIRED,
     "The secondary index name is missing or not specified for the table '%s'", T1(Table)},
    {VELDOR_INVALIDPASSWORD, "Password provided for the table '%s' is invalid", T1(Table)},
    {VELDOR_INVALIDINDEXNAME, "Invalid secondary index name '%s' specified for the table '%s'",
     T2(Index, Table)},
    {VELDOR_INVALIDIDXDESC,
     "Invalid field number '%s' specified in the index '%s' for the table '%s'",
     T3(Field, Index, Table)},
    {VELDOR_INVALIDKEY, "Invalid key size specified in the index '%s' for the table '%s'",
     T2(Index, Table)},
    {VELDOR_INDEXEXISTS, "The secondary index '%s' already exists for the table '%s'",
     T2(Index, Table)},
    {VELDOR_INVALIDBLOBLEN, "Invalid blob length in the table '%s'", T1(Table)},
    {VELDOR_INVALIDBLOBHANDLE, "Invalid blob handle for the table '%s' specified", T1(Table)},
    {VELDOR_TABLEOPEN, "The table '%s' is already in use", T1(Table)},
    {VELDOR_INVALIDFIELDNAME, "Invalid or duplicate field name '%s' specified for the table '%s'",
     T2(Field, Table)},
    {VELDOR_NOSUCHFILTER, "Invalid filter handle specified for the table '%s'", T1(Table)},
    {VELDOR_INVALIDFILTER, "Filter error for the table '%s' - %s", T2(Table, Text)},
    {VELDOR_INVALIDINDEXDELETE, "The primary index cannot be removed from the table '%s'",
     T1(Table)},
    {VELDOR_LOCKED, "The table '%s' is already locked by another user", T1(Table)},
    {VELDOR_UNLOCKFAILED, "Cannot unlock table or record in the table '%s'", T1(Table)},
    {VELDOR_LOCKTIMEOUT, "General lock failure with the table '%s'", T1(Table)},
    {VELDOR_NEEDEXCLACCESS, "The table '%s' must be opened exclusively", T1(Table)},
    {VELDOR_RECLOCKFAILED, "Record in the table '%s' is in use by another user", T1(Table)},
    {VELDOR_NOTSUFFTABLERIGHTS, "Insufficient rights to the table '%s', a password is required",
     T1(Table)},
    {VELDOR_NOTABLOB, "Invalid blob field '%s' specified for the table '%s'", T2(Field, Table)},
    {VELDOR_NOTINITIALIZED, "The database engine is not initialized", T0},
    {VELDOR_OSENOENT, "Table '%s' does not exist", T1(Table)},
    {VELDOR_OSEMFILE,
     "Too many operating system files open while attempting to open the table '%s'", T1(Table)},
    {VELDOR_OSEACCES, "Access denied to table '%s'", T1(Table)},
    {VELDOR_OSEBADF, "Invalid operating system file handle for the table '%s'", T1(Table)},
    {VELDOR_OSENOMEM,
     "There is insufficient operating system memory available for the current operation", T0},
    {VELDOR_OSEINVMEM, "Invalid length for the in-memory table '%s'", T1(Table)},
    {VELDOR_OSENODEV, "Access denied to logical operating system device for the table '%s'",
     T1(Table)},
    {VELDOR_OSENOTSAM, "The table '%s' has been moved", T1(Table)},
    {VELDOR_OSUNKNOWN, "An unknown operating system error occurred with the table '%s'", T1(Table)},
    // The remote-connection codes only concern sessions of a remote database server, which
    // this engine does not build; their texts name the server (and user or database).
    {VELDOR_REMOTECOMMLOST, "Connection to the database server '%s' has been lost", T1(Server)},
    {VELDOR_REMOTEUNKNOWN, "An unknown error occurred with the database server '%s'", T1(Server)},
    {VELDOR_REMOTECONNECT, "Cannot connect to the database server '%s'", T1(Server)},
    {VELDOR_REMOTENOLOGIN, "Login to the database server '%s' failed", T1(Server)},
    {VELDOR_REMOTEMAXCONNECT, "Maximum number of connections exceeded on the database server '%s'",
     T1(Server)},
    {VELDOR_REMOTEADDRESSBLOCK,
     "Connections from this address are blocked by the database server '%s'", T1(Server)},
    {VELDOR_REMOTECALLBACKERR, "Callback error on the database server '%s'", T1(Server)},
    {VELDOR_REMOTEVERSION, "Incompatible version of the database server '%s'", T1(Server)},
    {VELDOR_REMOTEINVLOGIN, "Invalid user name or password for the database server '%s'",
     T1(Server)},
    {VELDOR_REMOTENOTAUTH, "Not authorized for the requested operation on the database server '%s'",
     T1(Server)},
    {VELDOR_REMOTENOTADMIN, "Administrator rights required on the database server '%s'",
     T1(Server)},
    {VELDOR_REMOTEINVUSER, "Invalid user '%s' specified for the database server '%s'",
     T2(User, Server)},
    {VELDOR_REMOTENOUSER, "The user '%s' does not exist on the database server '%s'",
     T2(User, Server)},
    {VELDOR_REMOTEDUPUSER, "The user '%s' already exists on the database server '%s'",
     T2(User, Server)},
    {VELDOR_REMOTEINVDB, "Invalid database '%s' specified for the database server '%s'",
     T2(Database, Server)},
    {VELDOR_REMOTENODB, "The database '%s' does not exist on the database server '%s'",
     T2(Database, Server)},
    {VELDOR_REMOTEDUPDB, "The database '%s' already exists on the database server '%s'",
     T2(Database, Server)},
    {VELDOR_REMOTEINVDBUSER,
     "Invalid database user '%s' specified for the database '%s' on the database server '%s'",
     T3(User, Database, Server)},
    {VELDOR_REMOTENODBUSER,
     "The database user '%s' does not exist for the database '%s' on the database server '%s'",
     T3(User, Database, Server)},
    {VELDOR_REMOTEDUPDBUSER,
     "The database user '%s' already exists for the database '%s' on the database server '%s'",
     T3(User, Database, Server)},
    {VELDOR_REMOTEINVREQUEST, "Invalid request sent to the database server '%s'", T1(Server)},
    {VELDOR_IMPORTERROR, "An error occurred during the import into the table '%s' - %s",
     T2(Table, Text)},
    {VELDOR_EXPORTERROR, "An error occurred during the export from the table '%s' - %s",
     T2(Table, Text)},
    {VELDOR_SQLPARSE, "SQL error - %s", T1(Text)},
    {VELDOR_OLDVERSION, "The table '%s' is not the correct version", T1(Table)},
    {VELDOR_SEARCHCOLREQD, "Invalid field '%s' specified for the index '%s' in the table '%s'",
     T3(Field, Index, Table)},
    {VELDOR_TABLEEXISTS, "The table '%s' already exists", T1(Table)},
    {VELDOR_COMPRESS, "Error compressing data", T0},
    {VELDOR_UNCOMPRESS, "Error uncompressing data", T0},
    {VELDOR_CANNOTLOADLDDRV, "The language driver for the table '%s' is not available or installed",
     T1(Table)},
};

#undef T0
#undef T1
#undef T2
#undef T3

constexpr std::size_t kMaxContextText = 255;
constexpr std::size_t kMaxMessageText = 254;
constexpr const char* kUnknownError = "An unknown error occurred";
constexpr const char* kMessagePrefix = "VELDOR Engine Error # ";

thread_local TErrorContext tCurrentContext;

const MessageEntry* FindEntry(TErrorCode code) {
  for (const MessageEntry& e : kMessages) {
    if (e.code == code) return &e;
  }
  return nullptr;
}

std::string Cut(const std::string& s, std::size_t limit) {
  return s.size() <= limit ? s : s.substr(0, limit);
}

TErrorTexts CutTexts(const TErrorTexts& t) {
  return {Cut(t.Server, kMaxContextText),  Cut(t.User, kMaxContextText),
          Cut(t.Text, kMaxContextText),    Cut(t.Index, kMaxContextText),
          Cut(t.Field, kMaxContextText),   Cut(t.Table, kMaxContextText),
          Cut(t.Database, kMaxContextText)};
}

const std::string& FillText(Fill f, const TErrorTexts& t) {
  switch (f) {
    case Fill::Table:
      return t.Table;
    case Fill::Field:
      return t.Field;
    case Fill::Index:
      return t.Index;
    case Fill::Text:
      return t.Text;
    case Fill::Server:
      return t.Server;
    case Fill::User:
      return t.User;
    case Fill::Database:
      return t.Database;
  }
  return t.Text;
}

std::string BuildMessage(TErrorCode code, const TErrorTexts& texts) {
  const MessageEntry* entry = FindEntry(code);
  if (entry == nullptr) return kUnknownError;
  std::string out;
  int next = 0;
  for (std::string_view rest = entry->text; !rest.empty();) {
    std::size_t at = rest.find("%s");
    if (at == std::string_view::npos) {
      out.append(rest);
      break;
    }
    out.append(rest.substr(0, at));
    if (next < entry->fillCount) out.append(FillText(entry->fills[next++], texts));
    rest.remove_prefix(at + 2);
  }
  return Cut(out, kMaxMessageText);
}

std::string FullMessage(const TErrorContext& c) {
  return kMessagePrefix + std::to_string(c.Code) + " " + BuildMessage(c.Code, c.Texts);
}

}  // namespace

EVELDOREngineError::EVELDOREngineError(const TErrorContext& context)
    : std::runtime_error(FullMessage(context)),
      ErrorCode(context.Code),
      OSErrorCode(context.OSError),
      SocketErrorCode(context.SocketError),
      ErrorServer(context.Texts.Server),
      ErrorUser(context.Texts.User),
      ErrorDatabase(context.Texts.Database),
      ErrorTable(context.Texts.Table),
      ErrorField(context.Texts.Field),
      ErrorIndex(context.Texts.Index),
      ErrorDetail(context.Texts.Text) {}

void RaiseEngineError(TErrorCode code, const TErrorTexts& texts) {
  // The system's last-error value is read before anything else can change it. Linux has one
  // errno for files and sockets alike, so both numbers carry it.
  const int lastError = errno;
  TErrorContext context;
  context.Code = code;
  context.OSError = lastError;
  context.SocketError = lastError;
  context.Texts = CutTexts(texts);
  tCurrentContext = context;
  throw EVELDOREngineError(context);
}

void RaiseTableError(TErrorCode code, const std::string& table) {
  TErrorTexts t;
  t.Table = table;
  RaiseEngineError(code, t);
}

void RaiseFieldError(TErrorCode code, const std::string& field, const std::string& table) {
  TErrorTexts t;
  t.Field = field;
  t.Table = table;
  RaiseEngineError(code, t);
}

void RaiseIndexError(TErrorCode code, const std::string& index, const std::string& table) {
  TErrorTexts t;
  t.Index = index;
  t.Table = table;
  RaiseEngineError(code, t);
}

void RaiseSQLError(const std::string& message) {
  TErrorTexts t;
  t.Text = message;
  RaiseEngineError(VELDOR_SQLPARSE, t);
}

void RaiseByCode(TErrorCode code) {
  TErrorContext context = tCurrentContext;
  context.Code = code;
  tCurrentContext.Code = code;
  throw EVELDOREngineError(context);
}

std::string ErrorMessageText(TErrorCode code) {
  return BuildMessage(code, tCurrentContext.Texts);
}

std::string ErrorMessageText(TErrorCode code, const TErrorTexts& texts) {
  return BuildMessage(code, CutTexts(texts));
}

const char* ErrorTemplate(TErrorCode code) {
  const MessageEntry* entry = FindEntry(code);
  return entry == nullptr ? "" : entry->text;
}

TErrorCode ErrorCodeOf(const std::exception& e) {
  if (const auto* engine = dynamic_cast<const EVELDOREngineError*>(&e)) return engine->ErrorCode;
  return VELDOR_OSUNKNOWN;
}

TErrorCode ErrorCodeOf(std::exception_ptr e) {
  if (!e) return VELDOR_NONE;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ErrorCodeOf(ex);
  } catch (...) {
    return VELDOR_OSUNKNOWN;
  }
}

TErrorCode CurrentErrorCode() {
  return tCurrentContext.Code;
}

TErrorContext CurrentErrorContext() {
  return tCurrentContext;
}

std::string ContextItem(TErrorItem item) {
  const TErrorContext& c = tCurrentContext;
  switch (item) {
    case TErrorItem::Code:
      return std::to_string(c.Code);
    case TErrorItem::OSError:
      return std::to_string(c.OSError);
    case TErrorItem::SocketError:
      return std::to_string(c.SocketError);
    case TErrorItem::Server:
      return c.Texts.Server;
    case TErrorItem::User:
      return c.Texts.User;
    case TErrorItem::Database:
      return c.Texts.Database;
    case TErrorItem::Table:
      return c.Texts.Table;
    case TErrorItem::Field:
      return c.Texts.Field;
    case TErrorItem::Index:
      return c.Texts.Index;
    case TErrorItem::Text:
      return c.Texts.Text;
  }
  return {};
}

}  // namespace zorvic::engine
