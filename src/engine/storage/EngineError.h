// Engine errors: the one exception type of the storage and SQL engines.
//
// Every engine failure carries a 16-bit code and a finished message
// "VELDOR Engine Error # <code> <text>", where <text> is the code's message with its '%s'
// placeholders filled from the error context (table, field, index, ...). Lower layers that
// return codes instead of raising (file layer, cursor navigation) use the same numbers.
//
// Thread safety: the error context is kept per thread, so a raise on one thread can never
// fill its message with another thread's table. Reading the current code or a context item
// reads the calling thread's most recent raise. EVELDOREngineError objects are immutable
// once built and may be shared between threads.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace zorvic::engine {

using TErrorCode = std::uint16_t;

// Codes are category * 256 + number within the category.
enum : TErrorCode {
  VELDOR_NONE = 0,
  // 0x22 navigation
  VELDOR_BOF = 8705,
  VELDOR_EOF = 8706,
  VELDOR_KEYORRECDELETED = 8708,
  VELDOR_NOCURRREC = 8709,
  VELDOR_RECNOTFOUND = 8710,
  VELDOR_ENDOFBLOB = 8711,
  // 0x23 damaged files
  VELDOR_HEADERCORRUPT = 8961,
  VELDOR_FILECORRUPT = 8962,
  VELDOR_MEMOCORRUPT = 8963,
  VELDOR_INDEXCORRUPT = 8965,
  // 0x24 input/output
  VELDOR_READERR = 9217,
  VELDOR_WRITEERR = 9218,
  VELDOR_FILEDELETEFAIL = 9220,
  VELDOR_FILENOACCESS = 9221,
  // 0x25 limits
  VELDOR_RECTOOBIG = 9477,
  VELDOR_TABLEFULL = 9479,
  VELDOR_INTERNALLIMIT = 9482,
  VELDOR_INDEXLIMIT = 9487,
  VELDOR_FLDLIMIT = 9492,
  VELDOR_OPENBLOBLIMIT = 9494,
  VELDOR_BLOBLIMIT = 9498,
  // 0x26 integrity
  VELDOR_KEYVIOL = 9729,
  VELDOR_MINVALERR = 9730,
  VELDOR_MAXVALERR = 9731,
  VELDOR_REQDERR = 9732,
  // 0x27 invalid requests
  VELDOR_OUTOFRANGE = 9985,
  VELDOR_PRIMARYKEYREDEFINE = 9993,
  VELDOR_INVALIDBLOBOFFSET = 9998,
  VELDOR_INVALIDFLDTYPE = 10000,
  VELDOR_INVALIDVCHKSTRUCT = 10006,
  VELDOR_INDEXNAMEREQUIRED = 10010,
  VELDOR_INVALIDPASSWORD = 10015,
  VELDOR_INVALIDINDEXNAME = 10022,
  VELDOR_INVALIDIDXDESC = 10023,
  VELDOR_INVALIDKEY = 10026,
  VELDOR_INDEXEXISTS = 10027,
  VELDOR_INVALIDBLOBLEN = 10029,
  VELDOR_INVALIDBLOBHANDLE = 10030,
  VELDOR_TABLEOPEN = 10031,
  VELDOR_INVALIDFIELDNAME = 10038,
  VELDOR_NOSUCHFILTER = 10050,
  VELDOR_INVALIDFILTER = 10051,
  VELDOR_INVALIDINDEXDELETE = 10055,
  // 0x28 locks
  VELDOR_LOCKED = 10241,
  VELDOR_UNLOCKFAILED = 10242,
  VELDOR_LOCKTIMEOUT = 10249,
  VELDOR_NEEDEXCLACCESS = 10253,
  VELDOR_RECLOCKFAILED = 10258,
  // 0x29 rights
  VELDOR_NOTSUFFTABLERIGHTS = 10498,
  // 0x2A BLOB fields and engine state
  VELDOR_NOTABLOB = 10753,
  VELDOR_NOTINITIALIZED = 10758,
  // 0x2B operating system
  VELDOR_OSENOENT = 11010,
  VELDOR_OSEMFILE = 11012,
  VELDOR_OSEACCES = 11013,
  VELDOR_OSEBADF = 11014,
  VELDOR_OSENOMEM = 11016,
  VELDOR_OSEINVMEM = 11017,
  VELDOR_OSENODEV = 11023,
  VELDOR_OSENOTSAM = 11025,
  VELDOR_OSUNKNOWN = 11047,
  // 0x2C remote connection, import and export
  VELDOR_REMOTECOMMLOST = 11276,
  VELDOR_REMOTEUNKNOWN = 11279,
  VELDOR_REMOTECONNECT = 11280,
  VELDOR_REMOTENOLOGIN = 11281,
  VELDOR_REMOTEMAXCONNECT = 11282,
  VELDOR_REMOTEADDRESSBLOCK = 11283,
  VELDOR_REMOTECALLBACK = 11284,
  VELDOR_REMOTECALLBACKERR = 11285,
  VELDOR_REMOTEVERSION = 11286,
  VELDOR_REMOTEINVLOGIN = 11287,
  VELDOR_REMOTENOTAUTH = 11288,
  VELDOR_REMOTENOTADMIN = 11289,
  VELDOR_REMOTEINVUSER = 11290,
  VELDOR_REMOTENOUSER = 11291,
  VELDOR_REMOTEDUPUSER = 11292,
  VELDOR_REMOTEINVDB = 11293,
  VELDOR_REMOTENODB = 11294,
  VELDOR_REMOTEDUPDB = 11295,
  VELDOR_REMOTEINVDBUSER = 11296,
  VELDOR_REMOTENODBUSER = 11297,
  VELDOR_REMOTEDUPDBUSER = 11298,
  VELDOR_REMOTEINVREQUEST = 11299,
  VELDOR_IMPORTERROR = 11300,
  VELDOR_EXPORTERROR = 11301,
  // 0x2E SQL
  VELDOR_SQLPARSE = 11949,
  // 0x2F version
  VELDOR_OLDVERSION = 12035,
  // 0x30 index definition
  VELDOR_SEARCHCOLREQD = 12292,
  // 0x33 table existence
  VELDOR_TABLEEXISTS = 13060,
  // 0x3A compression
  VELDOR_COMPRESS = 15001,
  VELDOR_UNCOMPRESS = 15002,
  // 0x3E languages
  VELDOR_CANNOTLOADLDDRV = 15878,
};

// The texts that fill a message; each is cut to 255 characters when stored.
struct TErrorTexts {
  std::string Server;
  std::string User;
  std::string Text;  // free text: the filter or SQL message, the import or export message
  std::string Index;
  std::string Field;
  std::string Table;
  std::string Database;
};

// The context of one raise: code, the system's last-error values and the texts.
struct TErrorContext {
  TErrorCode Code = VELDOR_NONE;
  std::int32_t OSError = 0;
  std::int32_t SocketError = 0;
  TErrorTexts Texts;
};

class EVELDOREngineError : public std::runtime_error {
 public:
  explicit EVELDOREngineError(const TErrorContext& context);

  TErrorCode ErrorCode;
  std::int32_t OSErrorCode;
  std::int32_t SocketErrorCode;
  std::string ErrorServer;
  std::string ErrorUser;
  std::string ErrorDatabase;
  std::string ErrorTable;
  std::string ErrorField;
  std::string ErrorIndex;
  std::string ErrorDetail;
};

// Items of the context, for ContextItem.
enum class TErrorItem {
  Code,
  OSError,
  SocketError,
  Server,
  User,
  Database,
  Table,
  Field,
  Index,
  Text
};

// Stores code, errno and the texts as this thread's context and throws the error built from it.
[[noreturn]] void RaiseEngineError(TErrorCode code, const TErrorTexts& texts = {});
// Shorthands for the common fills.
[[noreturn]] void RaiseTableError(TErrorCode code, const std::string& table);
[[noreturn]] void RaiseFieldError(TErrorCode code, const std::string& field,
                                  const std::string& table);
[[noreturn]] void RaiseIndexError(TErrorCode code, const std::string& index,
                                  const std::string& table);
// "SQL error - <message>" with code 11949.
[[noreturn]] void RaiseSQLError(const std::string& message);
// Throws an error for the code with this thread's current context texts (components use it to
// turn a returned result code into an exception).
[[noreturn]] void RaiseByCode(TErrorCode code);

// The unprefixed, filled message text of a code: from this thread's context, or from the given one.
std::string ErrorMessageText(TErrorCode code);
std::string ErrorMessageText(TErrorCode code, const TErrorTexts& texts);
// The raw message template ("... '%s' ..."), or empty for codes without a text.
const char* ErrorTemplate(TErrorCode code);

// ErrorCode of an EVELDOREngineError; VELDOR_OSUNKNOWN for any other exception.
TErrorCode ErrorCodeOf(const std::exception& e);
TErrorCode ErrorCodeOf(std::exception_ptr e);

// This thread's most recent raise.
TErrorCode CurrentErrorCode();
std::string ContextItem(TErrorItem item);
TErrorContext CurrentErrorContext();

}  // namespace zorvic::engine
