// A "Configs" folder the program cannot write, as a user's program folder
// under Program Files is for the user. Wine lets root write every folder,
// read-only attribute or not, so the store's write test is made to fail as
// it fails there: its file is held open here without sharing, and deleted
// when let go.
#include <windows.h>

#include "platform/text.h"
#include "tests/settings/config_store_test.h"

int WithConfigsUnwritable(const std::string& appFolder, const std::function<int()>& body) {
  const std::string configs = appFolder + "\\" + settings::kConfigsFolderName;
  bool made = platform::MakeFolder(configs);
  std::u16string probe = platform::Utf8ToUtf16(configs + "\\" + settings::kWriteTestFileName);
  HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(probe.c_str()), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (held == INVALID_HANDLE_VALUE) return kSkip;
  int rc = body();
  CloseHandle(held);
  // Only an empty folder goes: one the store wrote into stays to be seen.
  if (made) platform::RemoveFolder(configs);
  return rc;
}
