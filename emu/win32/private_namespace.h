// Windows' private object namespaces, which Wine 8 lacks (CreateBoundaryDescriptorW is a stub that
// fails, AddSIDToBoundaryDescriptor and the namespace calls end the process), and CreateMutexExW
// for the names in them. The bench executables and the Windows test programs hand these stand-ins
// to Win32System as its lock calls; the launch harness puts them in place of the shipped
// executable's imports.
//
// They keep Microsoft's documented contract ("Object Namespaces" and the pages of the functions):
// - A boundary descriptor has a name and SIDs. AddSIDToBoundaryDescriptor may move it and updates
//   the caller's handle; here it always moves, so a stale copy of the handle fails.
// - CreatePrivateNamespaceW needs a boundary with at least one SID and a caller within it (its
//   token holds every SID), and fails with ERROR_ALREADY_EXISTS while a namespace of the same alias
//   and boundary is open in any process. OpenPrivateNamespaceW needs the same alias and boundary.
// - Once the last handle to a namespace is closed it cannot be opened; one made again is another
//   namespace, and the objects in it are other objects.
// - "<alias>\<name>" names an object in a namespace the calling process holds open under that
//   alias; without one the name's path is not found.
// Across processes a namespace is a named section of Wine's (it lives while a handle to it is
// open) that holds its instance; the objects in it are named after that instance. Wine keeps no
// DACLs, so the namespace's security descriptor is reported, not enforced.
#pragma once
#include <windows.h>

#include <string>

#include "platform/win32/lock_calls.h"

namespace emu {

HANDLE WINAPI StandInCreateBoundaryDescriptorW(LPCWSTR name, ULONG flags);
BOOL WINAPI StandInAddSIDToBoundaryDescriptor(HANDLE* boundary, PSID sid);
VOID WINAPI StandInDeleteBoundaryDescriptor(HANDLE boundary);
HANDLE WINAPI StandInCreatePrivateNamespaceW(LPSECURITY_ATTRIBUTES security, LPVOID boundary, LPCWSTR alias);
HANDLE WINAPI StandInOpenPrivateNamespaceW(LPVOID boundary, LPCWSTR alias);
BOOLEAN WINAPI StandInClosePrivateNamespace(HANDLE space, ULONG flags);
// Also checks the flags, the access and the length of the name, as the system does.
HANDLE WINAPI StandInCreateMutexExW(LPSECURITY_ATTRIBUTES security, LPCWSTR name, DWORD flags, DWORD access);

// The stand-ins as Win32System's lock calls.
const platform::LockCalls& StandInLockCalls();

// Receives what the process asked, one line each (without a line end):
//   namespace created alias=A boundary=B sids=S-1-5-32-544[,...] security=<SDDL of the DACL, or none>
//   namespace exists alias=A boundary=B sids=...      (the creation failed: it is open elsewhere)
//   namespace opened alias=A boundary=B sids=...
//   namespace closed alias=A flags=F
//   mutex A\NAME in namespace alias=A boundary=B sids=...
//   contract: <what broke Microsoft's contract>        (the call also fails, where it can)
// Null (the default) keeps them to nobody.
void SetNamespaceListener(void (*listener)(const std::string& line));

}  // namespace emu
