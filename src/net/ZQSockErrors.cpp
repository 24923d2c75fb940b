// Socket error numbers: the mapping from errno and the texts.
#include <cerrno>

#include "net/ZQSock.h"
#include "net/ZQString.h"

namespace zorvic {

int SocketErrorFromErrno(int err, bool blocking) {
  switch (err) {
    case 0:
      return kSockErrNone;
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      // A blocking socket with a time-out reports EAGAIN when the time-out passes.
      return blocking ? kSockErrTimedOut : kSockErrWouldBlock;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
    case EPIPE:  // the peer is gone; sending after its reset
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      // Keep the errno visible rather than inventing a number; ErrorText reads it as unknown.
      return err;
  }
}

std::string ErrorText(int code) {
  switch (code) {
    case 10004:
      return "Interrupted system call";
    case 10009:
      return "Bad file number";
    case 10013:
      return "Permission denied";
    case 10014:
      return "Bad address";
    case 10022:
      return "Invalid argument";
    case 10024:
      return "Too many open files";
    case 10035:
      return "Operation would block";
    case 10036:
      return "Operation now in progress";
    case 10037:
      return "Operation already in progress";
    case 10038:
      return "Socket operation on non-socket";
    case 10039:
      return "Destination address required";
    case 10040:
      return "Message too long";
    case 10041:
      return "Protocol wrong type for socket";
    case 10042:
      return "Protocol not available";
    case 10043:
      return "Protocol not supported";
    case 10044:
      return "Socket type not supported";
    case 10045:
      return "Operation not supported on socket";
    case 10046:
      return "Protocol family not supported";
    case 10047:
      return "Address family not supported by protocol family";
    case 10048:
      return "Address already in use";
    case 10049:
      return "Can't assign requested address";
    case 10050:
      return "Network is down";
    case 10051:
      return "Network is unreachable";
    case 10052:
      return "Network dropped connection on reset";
    case 10053:
      return "Software caused connection abort";
    case 10054:
      return "Connection reset by peer";
    case 10055:
      return "No buffer space available";
    case 10056:
      return "Socket is already connected";
    case 10057:
      return "Socket is not connected";
    case 10058:
      return "Can't send after socket shutdown";
    case 10059:
      return "Too many references can't splice";
    case 10060:
      return "Connection timed out";
    case 10061:
      return "Connection refused";
    case 10062:
      return "Too many levels of symbolic links";
    case 10063:
      return "File name too long";
    case 10064:
      return "Host is down";
    case 10065:
      return "No route to host";
    case 10066:
      return "Directory not empty";
    case 10067:
      return "Too many processes";
    case 10068:
      return "Too many users";
    case 10069:
      return "Disk quota exceeded";
    case 10070:
      return "Stale NFS file handle";
    case 10071:
      return "Too many levels of remote in path";
    case 10091:
      return "Network sub-system is unusable";
    case 10092:
      return "WSOCK32.DLL DLL cannot support this application";
    case 10093:
      return "WSOCK32.DLL not initialized";
    case 11001:
      return "Host not found";
    case 11002:
      return "Non-authoritative host not found";
    case 11003:
      return "Non-recoverable error";
    case 11004:
      return "No Data";
    default:
      return "Unknown Socket Error (" + GroupThousands(code) + ")";
  }
}

int BlockSizeBytes(TZQBlockSizeFlags flag) {
  switch (flag) {
    case bsfZero:
      return 0;
    case bsfRealSmall:
      return 128;
    case bsfSmall:
      return 256;
    case bsfNormal:
      return 512;
    case bsfBigger:
      return 2048;
    case bsfBiggest:
      return 4096;
    default:
      return 16384;
  }
}

}  // namespace zorvic
