// A vendor's support DLL that a login module double imports (see needs_helper.cpp).
extern "C" __declspec(dllexport) int VynTestHelperAnswer() { return 42; }
