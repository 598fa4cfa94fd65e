#include "corvid/core/event_emitter.hpp"

#include <exception>

#include "corvid/utils/log.hpp"

namespace corvid::core {

void EventEmitter::on(std::string event, std::string handler_name, EventHandler handler) {
  std::lock_guard lock(mutex_);
  auto& slot = lists_[std::move(event)];
  auto next = slot ? std::make_shared<List>(*slot) : std::make_shared<List>();
  next->push_back(Listener{std::move(handler_name), std::move(handler)});
  slot = std::move(next);
}

void EventEmitter::emit(std::string_view event, Parlo& binding, const Json& record) const {
  std::shared_ptr<const List> list;
  {
    std::lock_guard lock(mutex_);
    auto it = lists_.find(event);
    if (it == lists_.end()) return;
    list = it->second;
  }
  for (const auto& listener : *list) {
    try {
      if (listener.handler) listener.handler(binding, record);
    } catch (const std::exception& e) {
      log::get("ParloInstance")
          ->error("callback error, in function `{}`, error: {}", listener.name, e.what());
    } catch (...) {
      log::get("ParloInstance")
          ->error("callback error, in function `{}`, error: {}", listener.name, "unknown error");
    }
  }
}

std::size_t EventEmitter::listener_count(std::string_view event) const {
  std::lock_guard lock(mutex_);
  auto it = lists_.find(event);
  return it == lists_.end() ? 0 : it->second->size();
}

}  // namespace corvid::core
