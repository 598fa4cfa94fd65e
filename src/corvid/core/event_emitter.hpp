#pragma once
// Handlers by event name (a message code's decimal text). Emission calls every handler of the
// name in registration order, synchronously, each under a guard: a handler that throws is
// logged on "ParloInstance" ("callback error, in function `<name>`, error: <text>") and the
// others still run.
// Owner: the binding. Threads: registration and emission from any thread; emission works on
// a snapshot, so a handler may register more handlers.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "corvid/core/parlo.hpp"

namespace corvid::core {

class EventEmitter {
 public:
  void on(std::string event, std::string handler_name, EventHandler handler);
  void emit(std::string_view event, Parlo& binding, const Json& record) const;
  std::size_t listener_count(std::string_view event) const;

 private:
  struct Listener {
    std::string name;
    EventHandler handler;
  };
  using List = std::vector<Listener>;
  mutable std::mutex mutex_;  // guards lists_ (the lists themselves are immutable once shared)
  std::map<std::string, std::shared_ptr<const List>, std::less<>> lists_;
};

}  // namespace corvid::core
