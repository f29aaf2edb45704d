#include "engine/io_error.hpp"
#include "engine/messages.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace mendseqs {
namespace {

constexpr std::string_view write_zero_message = messages::write_zero;

std::string_view kind_of(int code) noexcept {
  switch (code) {
    case EPERM:
    case EACCES:
      return "PermissionDenied";
    case ENOENT:
      return "NotFound";
    case EINTR:
      return "Interrupted";
    case E2BIG:
      return "ArgumentListTooLong";
    case EAGAIN:
      return "WouldBlock";
    case ENOMEM:
      return "OutOfMemory";
    case EBUSY:
      return "ResourceBusy";
    case EEXIST:
      return "AlreadyExists";
    case EXDEV:
      return "CrossesDevices";
    case ENOTDIR:
      return "NotADirectory";
    case EISDIR:
      return "IsADirectory";
    case EINVAL:
      return "InvalidInput";
    case ETXTBSY:
      return "ExecutableFileBusy";
    case EFBIG:
      return "FileTooLarge";
    case ENOSPC:
      return "StorageFull";
    case ESPIPE:
      return "NotSeekable";
    case EROFS:
      return "ReadOnlyFilesystem";
    case EMLINK:
      return "TooManyLinks";
    case EPIPE:
      return "BrokenPipe";
    case EDEADLK:
      return "Deadlock";
    case ENAMETOOLONG:
      return "InvalidFilename";
    case ENOSYS:
      return "Unsupported";
    case ENOTEMPTY:
      return "DirectoryNotEmpty";
    case ELOOP:
      return "FilesystemLoop";
    case EADDRINUSE:
      return "AddrInUse";
    case EADDRNOTAVAIL:
      return "AddrNotAvailable";
    case ENETDOWN:
      return "NetworkDown";
    case ENETUNREACH:
      return "NetworkUnreachable";
    case ECONNABORTED:
      return "ConnectionAborted";
    case ECONNRESET:
      return "ConnectionReset";
    case ENOTCONN:
      return "NotConnected";
    case ETIMEDOUT:
      return "TimedOut";
    case ECONNREFUSED:
      return "ConnectionRefused";
    case EHOSTUNREACH:
      return "HostUnreachable";
    case EINPROGRESS:
      return "InProgress";
    case ESTALE:
      return "StaleNetworkFileHandle";
    case EDQUOT:
      return "QuotaExceeded";
    default:
      return "Uncategorized";
  }
}

std::string describe(int code) {
  char buffer[256] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

}  // namespace

std::string IoError::debug() const {
  if (code == 0) return "Error { kind: WriteZero, message: \"" + std::string(write_zero_message) + "\" }";
  return "Os { code: " + std::to_string(code) + ", kind: " + std::string(kind_of(code)) + ", message: \"" +
         describe(code) + "\" }";
}

std::string IoError::display() const {
  if (code == 0) return std::string(write_zero_message);
  return describe(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace mendseqs
