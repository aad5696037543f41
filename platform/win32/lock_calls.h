// The kernel32 calls of the update lock: the private object namespace it lives in and its mutex.
// Win32System makes them through this table. In the executables we ship they are kernel32's own
// (imported by name, so the launch harness can put its stand-ins in their place); the builds that
// run under Wine without the harness (the bench executables, the Windows test programs) hand
// Win32System stand-ins instead (emu/win32/private_namespace.h), since Wine 8 lacks the namespace
// calls.
#pragma once
#include <windows.h>

namespace platform {

struct LockCalls {
  decltype(&::CreateBoundaryDescriptorW) createBoundaryDescriptor;
  decltype(&::AddSIDToBoundaryDescriptor) addSidToBoundaryDescriptor;
  decltype(&::DeleteBoundaryDescriptor) deleteBoundaryDescriptor;
  decltype(&::CreatePrivateNamespaceW) createPrivateNamespace;
  decltype(&::OpenPrivateNamespaceW) openPrivateNamespace;
  decltype(&::ClosePrivateNamespace) closePrivateNamespace;
  decltype(&::CreateMutexExW) createMutex;
};

}  // namespace platform
