// The process-wide instance behind the ETW and schema singletons' getInstance and
// deleteInstance. It is made on first use; when construction fails, the failure is logged
// under the caller's name and the caller gets null. Take() hands the instance back for
// deletion and clears the pointer.
//
// Thread safety: none of its own. The service object makes the instances in its constructor
// and deletes them in its destructor, before and after any request is served.
#pragma once

#include <exception>

#include "log_writer.h"

template <typename T>
class ProcessSingleton {
 public:
  // `make` returns a new T; it runs in the caller, so T's constructor may stay private.
  template <typename Make>
  static T* Get(const char* qualifiedName, Make make) {
    try {
      if (s_instance == nullptr) {
        s_instance = make();
      }
      return s_instance;
    } catch (const std::exception& e) {
      LogStandardException(qualifiedName, e);
    } catch (...) {
      LogGenericException(qualifiedName);
    }
    return nullptr;
  }

  static T* Take() {
    T* instance = s_instance;
    s_instance = nullptr;
    return instance;
  }

 private:
  static inline T* s_instance = nullptr;
};
