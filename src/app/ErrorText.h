// The message of a caught error, for log entries written from catch-all handlers.
//
// Thread safety: a pure function.
#pragma once

#include <exception>
#include <string>

namespace zorvic {

// The what() text of a std::exception, "Unknown error" for anything else.
inline std::string ErrorMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace zorvic
