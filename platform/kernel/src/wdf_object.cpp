// Framework objects: attributes, typed contexts, the object tree and its deletion
// (WdfObjectGetTypedContextWorker, WdfObjectDelete), and the device's power gate.
#include <algorithm>
#include <cstdlib>

#include "framework.h"

namespace platform::kernel {
namespace {

std::mutex& tree_lock() {
  static std::mutex& instance = *new std::mutex;
  return instance;
}

// Children first, last created first, then the object itself.
void collect_post_order(FxObject* object, std::vector<FxObject*>& order) {
  for (auto it = object->children.rbegin(); it != object->children.rend(); ++it) collect_post_order(*it, order);
  object->deleting = true;
  order.push_back(object);
}

}  // namespace

FxObject::~FxObject() {
  magic = 0;
  std::free(context);
}

NTSTATUS attach_object(FxObject& object, const WDF_OBJECT_ATTRIBUTES* attributes, FxObject* default_parent,
                       std::string_view function) {
  FxObject* parent = default_parent;
  if (attributes != nullptr) {
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) return STATUS_INFO_LENGTH_MISMATCH;
    if (attributes->ParentObject != nullptr) parent = object_from_handle(attributes->ParentObject, function);
    object.cleanup = attributes->EvtCleanupCallback;
    object.destroy = attributes->EvtDestroyCallback;
    if (attributes->ContextTypeInfo != nullptr) {
      const std::size_t size = std::max(attributes->ContextTypeInfo->ContextSize, attributes->ContextSizeOverride);
      object.context = std::calloc(1, size == 0 ? 1 : size);
      if (object.context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      object.context_type = attributes->ContextTypeInfo;
    }
  }
  std::lock_guard lock(tree_lock());
  object.parent = parent;
  if (parent != nullptr) parent->children.push_back(&object);
  return STATUS_SUCCESS;
}

void delete_object(FxObject* object) {
  std::vector<FxObject*> order;
  {
    std::lock_guard lock(tree_lock());
    if (object->deleting) return;
    if (object->parent != nullptr) {
      auto& siblings = object->parent->children;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), object), siblings.end());
      object->parent = nullptr;
    }
    collect_post_order(object, order);
  }
  for (FxObject* each : order) {
    if (each->cleanup != nullptr) call_driver("EvtCleanupCallback", [&] { each->cleanup(each); });
  }
  for (FxObject* each : order) {
    if (each->destroy != nullptr) call_driver("EvtDestroyCallback", [&] { each->destroy(each); });
  }
  for (FxObject* each : order) delete each;
}

bool descends_from(const FxObject* object, const FxObject* ancestor) {
  std::lock_guard lock(tree_lock());
  for (; object != nullptr; object = object->parent) {
    if (object == ancestor) return true;
  }
  return false;
}

FxObject* object_from_handle(const void* handle, std::string_view function) {
  auto* object = static_cast<FxObject*>(const_cast<void*>(handle));
  if (object == nullptr || object->magic != FxObject::kAlive) {
    bug_check(WDF_VIOLATION, 0x4, reinterpret_cast<ULONG_PTR>(handle), 0, 0,
              std::string(function) + " of a NULL or deleted framework handle");
  }
  return object;
}

bool DeviceGate::enter_for_io() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return state_ == State::working || state_ == State::removed; });
  if (state_ == State::removed) return false;
  ++inside_;
  return true;
}

bool DeviceGate::enter_any() {
  std::lock_guard lock(mutex_);
  if (state_ == State::removed) return false;
  ++inside_;
  return true;
}

void DeviceGate::leave() {
  std::lock_guard lock(mutex_);
  if (--inside_ == 0) changed_.notify_all();
}

void DeviceGate::drain(State next) {
  std::unique_lock lock(mutex_);
  state_ = next;
  changed_.notify_all();
  changed_.wait(lock, [&] { return inside_ == 0; });
}

void DeviceGate::set(State next) {
  std::lock_guard lock(mutex_);
  state_ = next;
  changed_.notify_all();
}

DeviceGate::State DeviceGate::state() {
  std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace platform::kernel

using namespace platform::kernel;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
  KERNEL_ENTRY("WdfObjectGetTypedContextWorker");
  FxObject* object = object_from_handle(Handle, "WdfObjectGetTypedContext");
  if (TypeInfo == nullptr || object->context_type == nullptr) return nullptr;
  return object->context_type->UniqueType == TypeInfo->UniqueType ? object->context : nullptr;
}

VOID WdfObjectDelete(WDFOBJECT Object) {
  KERNEL_ENTRY("WdfObjectDelete");
  require_irql_at_most(DISPATCH_LEVEL, "WdfObjectDelete");
  FxObject* object = object_from_handle(Object, "WdfObjectDelete");
  if (!object->driver_may_delete) {
    bug_check(WDF_VIOLATION, 0x6, reinterpret_cast<ULONG_PTR>(Object), static_cast<ULONG_PTR>(object->type), 0,
              "WdfObjectDelete of an object the framework owns (the driver, the device, a request or a list)");
  }
  delete_object(object);
}
