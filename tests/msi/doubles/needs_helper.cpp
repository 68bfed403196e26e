// Makes the msgina double a login module that imports a vendor's support DLL,
// VynTestHelper.dll, as other vendors' modules do: the uninstall must give it
// back only when Winlogon would find that DLL. The call sits in a global
// initialiser so that the linker keeps the import.
extern "C" __declspec(dllimport) int VynTestHelperAnswer(void);

namespace {
const int kAnswer = VynTestHelperAnswer();
}  // namespace

extern "C" int VynNeedsHelperAnswer() { return kAnswer; }
