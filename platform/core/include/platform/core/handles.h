// The one handle table of the process. Every HANDLE-like value the stand-ins hand out (files,
// devices, threads, events, sockets, registry keys, service-manager handles, modules) names an
// object here, so values of different kinds never collide and a handle of one kind is never
// taken for another. ETW's trace handles are not here: a TRACEHANDLE is a 64-bit number of
// its own type, and the ETW surface marks its kind (session, processing, registration) in its
// top byte instead (platform/win32/src/etw_surface.h).
//
// Values grow by 4 like kernel handles, from 0x100, and are never reused within a process, so
// a stale handle can never reach a newer object. The table holds one reference to each
// object; callers working on an object hold another for the duration of the call, so closing
// a handle while another thread uses it is safe.
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace platform {

// Base of every kind of object a handle can name.
class HandleObject {
 public:
  virtual ~HandleObject() = default;
};

using HandleValue = std::uintptr_t;

HandleValue insert_handle(std::shared_ptr<HandleObject> object);
// Null when the value names no open handle.
std::shared_ptr<HandleObject> lookup_handle(HandleValue value);
// Removes the handle when `accept` approves its object and returns that object (released by
// the caller, outside its locks); null, and nothing removed, otherwise.
std::shared_ptr<HandleObject> remove_handle(HandleValue value, const std::function<bool(const HandleObject&)>& accept);
// Removes every handle whose object `accept` approves and returns those objects.
std::vector<std::shared_ptr<HandleObject>> remove_handles(const std::function<bool(const HandleObject&)>& accept);

// Typed forms: null when the handle is not open or names an object of another kind.
template <typename T>
std::shared_ptr<T> lookup_handle_as(HandleValue value) {
  return std::dynamic_pointer_cast<T>(lookup_handle(value));
}
template <typename T>
std::shared_ptr<T> remove_handle_as(HandleValue value) {
  return std::static_pointer_cast<T>(
      remove_handle(value, [](const HandleObject& object) { return dynamic_cast<const T*>(&object) != nullptr; }));
}

// How many handles are open now (every kind), for tests that check nothing is left open.
std::size_t handle_count();

// Drops every handle; the core's part of the reset's drop_process_state phase.
void drop_all_handles();

}  // namespace platform
