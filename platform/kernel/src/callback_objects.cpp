// Callback objects: ExCreateCallback, ExRegisterCallback, ExUnregisterCallback,
// ExNotifyCallback, ObDereferenceObject and ObMakeTemporaryObject.
//
// Objects are named and counted: each successful ExCreateCallback and each registration
// holds a reference, and an object that is not permanent is gone with its last one.
// Notifications call the registered functions without holding a lock, so a callback may
// notify or register itself; an unregistration waits for calls of that registration running
// on other threads.
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kernel_controls/kernel.h"
#include "kernel_internal.h"
#include "platform/core/text.h"

namespace {

constexpr std::uint32_t kObjectAlive = 0x6B426C43;        // 'ClBk'
constexpr std::uint32_t kRegistrationAlive = 0x6765526B;  // 'kReg'

struct Registration {
  std::uint32_t magic = kRegistrationAlive;
  _CALLBACK_OBJECT* object = nullptr;
  PCALLBACK_FUNCTION function = nullptr;
  PVOID context = nullptr;
  std::mutex mutex;
  std::condition_variable idle;
  bool active = true;
  int running = 0;  // calls in progress
};

// The registration whose function runs on this thread, so that it can unregister itself
// without waiting for its own call to end.
thread_local Registration* t_running_registration = nullptr;

}  // namespace

struct _CALLBACK_OBJECT {
  std::uint32_t magic = kObjectAlive;
  std::u16string folded_name;
  bool allow_multiple = false;
  bool permanent = false;
  long references = 0;  // guarded by the directory's mutex
  std::mutex mutex;     // the registrations
  std::vector<std::shared_ptr<Registration>> registrations;
};

namespace platform::kernel {
namespace {

struct Directory {
  std::mutex mutex;
  std::map<std::u16string, _CALLBACK_OBJECT*> by_name;
  std::set<_CALLBACK_OBJECT*> live;
};

Directory& directory() {
  static Directory& instance = *new Directory;
  return instance;
}

_CALLBACK_OBJECT* checked_object(PVOID object, std::string_view function) {
  auto* callback_object = static_cast<_CALLBACK_OBJECT*>(object);
  {
    std::lock_guard lock(directory().mutex);
    if (callback_object != nullptr && directory().live.count(callback_object) != 0) return callback_object;
  }
  bug_check(0x18, 0, reinterpret_cast<ULONG_PTR>(object), 0, 0,
            std::string(function) + " of a pointer that is not a live callback object");
}

void add_reference(_CALLBACK_OBJECT* object) {
  std::lock_guard lock(directory().mutex);
  ++object->references;
}

LONG_PTR release_reference(_CALLBACK_OBJECT* object) {
  _CALLBACK_OBJECT* gone = nullptr;
  LONG_PTR remaining = 0;
  {
    std::lock_guard lock(directory().mutex);
    remaining = --object->references;
    if (remaining <= 0 && !object->permanent) {
      directory().by_name.erase(object->folded_name);
      directory().live.erase(object);
      gone = object;
    }
  }
  if (gone != nullptr) {
    gone->magic = 0;
    delete gone;
  }
  return remaining;
}

void notify(_CALLBACK_OBJECT* object, PVOID argument1, PVOID argument2) {
  std::vector<std::shared_ptr<Registration>> snapshot;
  {
    std::lock_guard lock(object->mutex);
    snapshot = object->registrations;
  }
  for (const auto& registration : snapshot) {
    {
      std::lock_guard lock(registration->mutex);
      if (!registration->active) continue;
      ++registration->running;
    }
    // Ends the call's bookkeeping even when the callback raises.
    struct Running {
      Registration* registration;
      Registration* enclosing;
      ~Running() {
        t_running_registration = enclosing;
        std::lock_guard lock(registration->mutex);
        if (--registration->running <= 1) registration->idle.notify_all();
      }
    } running{registration.get(), t_running_registration};
    t_running_registration = registration.get();
    registration->function(registration->context, argument1, argument2);
  }
}

_CALLBACK_OBJECT* find_object(std::u16string_view name) {
  std::lock_guard lock(directory().mutex);
  auto it = directory().by_name.find(fold_name(name));
  if (it == directory().by_name.end()) return nullptr;
  ++it->second->references;
  return it->second;
}

}  // namespace

bool notify_callback(std::u16string_view name, void* argument1, void* argument2) {
  _CALLBACK_OBJECT* object = find_object(name);
  if (object == nullptr) return false;
  notify(object, argument1, argument2);
  release_reference(object);
  return true;
}

std::size_t callback_registrations(std::u16string_view name) {
  _CALLBACK_OBJECT* object = find_object(name);
  if (object == nullptr) return 0;
  std::size_t count = 0;
  {
    std::lock_guard lock(object->mutex);
    count = object->registrations.size();
  }
  release_reference(object);
  return count;
}

void forget_callback_objects() {
  std::set<_CALLBACK_OBJECT*> dropped;
  {
    std::lock_guard lock(directory().mutex);
    dropped.swap(directory().live);
    directory().by_name.clear();
  }
  for (_CALLBACK_OBJECT* object : dropped) {
    object->magic = 0;
    for (const auto& registration : object->registrations) registration->magic = 0;
    delete object;
  }
}

}  // namespace platform::kernel

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks) {
  KERNEL_STATUS_ENTRY("ExCreateCallback");
  using namespace platform::kernel;
  require_irql_at_most(PASSIVE_LEVEL, "ExCreateCallback");
  if (CallbackObject == nullptr || ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
  *CallbackObject = nullptr;
  const PUNICODE_STRING name = ObjectAttributes->ObjectName;
  // Unnamed callback objects are not allowed.
  if (name == nullptr || name->Buffer == nullptr || name->Length == 0) return STATUS_UNSUCCESSFUL;
  std::u16string folded = platform::fold_name(std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR)));
  std::lock_guard lock(directory().mutex);
  auto it = directory().by_name.find(folded);
  if (it != directory().by_name.end()) {
    ++it->second->references;
    *CallbackObject = it->second;
    return STATUS_SUCCESS;
  }
  if (!Create) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* object = new _CALLBACK_OBJECT;
  object->folded_name = folded;
  object->allow_multiple = AllowMultipleCallbacks != FALSE;
  object->permanent = (ObjectAttributes->Attributes & OBJ_PERMANENT) != 0;
  object->references = 1;
  directory().by_name.emplace(std::move(folded), object);
  directory().live.insert(object);
  *CallbackObject = object;
  return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext) {
  KERNEL_VALUE_ENTRY("ExRegisterCallback", nullptr);
  using namespace platform::kernel;
  require_irql_at_most(PASSIVE_LEVEL, "ExRegisterCallback");
  _CALLBACK_OBJECT* object = checked_object(CallbackObject, "ExRegisterCallback");
  if (CallbackFunction == nullptr) return nullptr;
  auto registration = std::make_shared<Registration>();
  registration->object = object;
  registration->function = CallbackFunction;
  registration->context = CallbackContext;
  {
    std::lock_guard lock(object->mutex);
    if (!object->allow_multiple && !object->registrations.empty()) return nullptr;
    object->registrations.push_back(registration);
  }
  add_reference(object);
  return registration.get();
}

VOID ExUnregisterCallback(PVOID CallbackRegistration) {
  KERNEL_ENTRY("ExUnregisterCallback");
  using namespace platform::kernel;
  require_irql_at_most(PASSIVE_LEVEL, "ExUnregisterCallback");
  auto* registration = static_cast<Registration*>(CallbackRegistration);
  if (registration == nullptr || registration->magic != kRegistrationAlive) {
    bug_check(0x18, 1, reinterpret_cast<ULONG_PTR>(CallbackRegistration), 0, 0,
              "ExUnregisterCallback of a handle that is not a live registration");
  }
  _CALLBACK_OBJECT* object = registration->object;
  std::shared_ptr<Registration> held;
  {
    std::lock_guard lock(object->mutex);
    for (auto it = object->registrations.begin(); it != object->registrations.end(); ++it) {
      if (it->get() != registration) continue;
      held = *it;
      object->registrations.erase(it);
      break;
    }
  }
  if (!held) bug_check(0x18, 2, reinterpret_cast<ULONG_PTR>(CallbackRegistration), 0, 0, "ExUnregisterCallback twice");
  {
    std::unique_lock lock(held->mutex);
    held->active = false;
    held->magic = 0;
    const int own_calls = t_running_registration == held.get() ? 1 : 0;
    held->idle.wait(lock, [&] { return held->running <= own_calls; });
  }
  release_reference(object);
}

VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2) {
  KERNEL_ENTRY("ExNotifyCallback");
  using namespace platform::kernel;
  require_irql_at_most(DISPATCH_LEVEL, "ExNotifyCallback");
  notify(checked_object(CallbackObject, "ExNotifyCallback"), Argument1, Argument2);
}

LONG_PTR ObDereferenceObject(PVOID Object) {
  KERNEL_ENTRY("ObDereferenceObject");
  using namespace platform::kernel;
  return release_reference(checked_object(Object, "ObDereferenceObject"));
}

VOID ObMakeTemporaryObject(PVOID Object) {
  KERNEL_ENTRY("ObMakeTemporaryObject");
  using namespace platform::kernel;
  _CALLBACK_OBJECT* object = checked_object(Object, "ObMakeTemporaryObject");
  {
    std::lock_guard lock(directory().mutex);
    object->permanent = false;
    ++object->references;
  }
  // Goes now when nothing references it any more.
  release_reference(object);
}
