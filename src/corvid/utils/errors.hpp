#pragma once
// The error vocabulary of the client side (manager, binding, probe). The binding and the
// manager throw these; the service catches every one of them and turns it into a false or
// absent result. Errors built without a message have an empty what(), so a log line made of
// a fixed prefix and the error text ends right after the prefix.
#include <stdexcept>
#include <string>

namespace corvid {

// Base of every error the client side raises; name() is the type shown in error reports.
class ParloError : public std::runtime_error {
 public:
  explicit ParloError(const std::string& message = {}) : std::runtime_error(message) {}
  virtual const char* name() const noexcept { return "ParloError"; }
};

#define CORVID_DEFINE_ERROR(Type)                                \
  class Type : public ParloError {                               \
   public:                                                       \
    using ParloError::ParloError;                                \
    const char* name() const noexcept override { return #Type; } \
  }

CORVID_DEFINE_ERROR(ParloNotLoginError);         // a send while no account is logged in
CORVID_DEFINE_ERROR(ParloVersionNotMatchError);  // the client version is not supported
CORVID_DEFINE_ERROR(ParloRuntimeError);          // helper files missing and similar
CORVID_DEFINE_ERROR(ParloBindError);             // a ready message that binds nothing
CORVID_DEFINE_ERROR(ProbeError);                 // a probe call failed; what() = its error text
CORVID_DEFINE_ERROR(KeyError);                   // a required key is missing from a message
CORVID_DEFINE_ERROR(TypeError);                  // a value of the wrong kind
CORVID_DEFINE_ERROR(IndexError);                 // a list shorter than needed
CORVID_DEFINE_ERROR(JsonError);                  // a text that is not valid JSON

#undef CORVID_DEFINE_ERROR

}  // namespace corvid
