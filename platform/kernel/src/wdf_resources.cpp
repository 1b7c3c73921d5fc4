// Resource lists: the assigned resources (WdfCmResourceList*) and the requirements the
// resource filters see (WdfIoResourceRequirementsList*, WdfIoResourceList*).
#include "framework.h"

using namespace platform::kernel;

ULONG WdfCmResourceListGetCount(WDFCMRESLIST List) {
  KERNEL_ENTRY("WdfCmResourceListGetCount");
  return static_cast<ULONG>(
      from_handle<FxCmResourceList>(List, FxType::cm_resource_list, "WdfCmResourceListGetCount")->descriptors.size());
}

PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index) {
  KERNEL_VALUE_ENTRY("WdfCmResourceListGetDescriptor", nullptr);
  auto* list = from_handle<FxCmResourceList>(List, FxType::cm_resource_list, "WdfCmResourceListGetDescriptor");
  return Index < list->descriptors.size() ? &list->descriptors[Index] : nullptr;
}

ULONG WdfIoResourceRequirementsListGetCount(WDFIORESREQLIST RequirementsList) {
  KERNEL_ENTRY("WdfIoResourceRequirementsListGetCount");
  return static_cast<ULONG>(from_handle<FxIoResourceRequirementsList>(RequirementsList,
                                                                      FxType::io_resource_requirements_list,
                                                                      "WdfIoResourceRequirementsListGetCount")
                                ->alternatives.size());
}

WDFIORESLIST WdfIoResourceRequirementsListGetIoResList(WDFIORESREQLIST RequirementsList, ULONG Index) {
  KERNEL_VALUE_ENTRY("WdfIoResourceRequirementsListGetIoResList", nullptr);
  auto* list = from_handle<FxIoResourceRequirementsList>(RequirementsList, FxType::io_resource_requirements_list,
                                                         "WdfIoResourceRequirementsListGetIoResList");
  return Index < list->alternatives.size() ? as_handle<WDFIORESLIST>(list->alternatives[Index]) : nullptr;
}

ULONG WdfIoResourceListGetCount(WDFIORESLIST ResourceList) {
  KERNEL_ENTRY("WdfIoResourceListGetCount");
  return static_cast<ULONG>(
      from_handle<FxIoResourceList>(ResourceList, FxType::io_resource_list, "WdfIoResourceListGetCount")
          ->descriptors.size());
}

PIO_RESOURCE_DESCRIPTOR WdfIoResourceListGetDescriptor(WDFIORESLIST ResourceList, ULONG Index) {
  KERNEL_VALUE_ENTRY("WdfIoResourceListGetDescriptor", nullptr);
  auto* list = from_handle<FxIoResourceList>(ResourceList, FxType::io_resource_list, "WdfIoResourceListGetDescriptor");
  return Index < list->descriptors.size() ? &list->descriptors[Index] : nullptr;
}

VOID WdfIoResourceListRemove(WDFIORESLIST ResourceList, ULONG Index) {
  KERNEL_ENTRY("WdfIoResourceListRemove");
  auto* list = from_handle<FxIoResourceList>(ResourceList, FxType::io_resource_list, "WdfIoResourceListRemove");
  if (Index >= list->descriptors.size()) {
    bug_check(WDF_VIOLATION, 0x9, reinterpret_cast<ULONG_PTR>(ResourceList), Index, list->descriptors.size(),
              "WdfIoResourceListRemove past the end of the list");
  }
  list->descriptors.erase(list->descriptors.begin() + Index);
}
