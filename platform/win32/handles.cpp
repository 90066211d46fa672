#include "win32/handles.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "win32/debug.h"

namespace win32 {
namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;  // guarded by lock
  std::uintptr_t next = 4;                                                     // guarded by lock
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // never destroyed: threads may outlive main()
  return *table;
}

thread_local DWORD t_last_error = 0;

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  if (!object) return nullptr;
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  std::uintptr_t value = t.next;
  t.next += 4;
  if (t.next == static_cast<std::uintptr_t>(-4)) t.next = 4;  // never hand out -1 (INVALID_HANDLE_VALUE)
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

size_t OpenHandleCount() {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.objects.size();
}

}  // namespace win32

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<win32::KernelObject> object;
  {
    win32::HandleTable& t = win32::Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it != t.objects.end()) {
      object = std::move(it->second);
      t.objects.erase(it);
    }
  }
  if (!object) {
    wchar_t line[96];
    std::swprintf(line, 96, L"[win32] CloseHandle: invalid handle %p\r\n", handle);
    OutputDebugStringW(line);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnClose();
  return TRUE;
}

DWORD GetLastError() { return win32::t_last_error; }
void SetLastError(DWORD error) { win32::t_last_error = error; }
