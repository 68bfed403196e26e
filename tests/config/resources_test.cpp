#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "tests/config/module_path.h"

namespace {

constexpr WORD kEnglishUs = 0x409;

// The module mapped as data only: no DllMain, no imports resolved.
class ModuleResources : public ::testing::Test {
protected:
    void SetUp() override {
        module_.reset(::LoadLibraryExW(BuiltModulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module_) << ::GetLastError();
    }

    std::string Resource(LPCWSTR type, WORD id, WORD language) {
        const HRSRC info = ::FindResourceExW(module_.get(), type, MAKEINTRESOURCEW(id), language);
        if (!info) return {};
        const HGLOBAL loaded = ::LoadResource(module_.get(), info);
        const void* data = loaded ? ::LockResource(loaded) : nullptr;
        if (!data) return {};
        return std::string(static_cast<const char*>(data), ::SizeofResource(module_.get(), info));
    }

    unique_hmodule module_;
};

TEST_F(ModuleResources, MessageTableHoldsTheOneEventMessage) {
    const unsigned char expected[32] = {
        0x01, 0x00, 0x00, 0x00,  // one block
        0x00, 0x00, 0x02, 0xC0,  // lowest id 0xC0020000
        0x00, 0x00, 0x02, 0xC0,  // highest id 0xC0020000
        0x10, 0x00, 0x00, 0x00,  // entries at offset 16
        0x10, 0x00, 0x01, 0x00,  // entry of 16 bytes, UTF-16 text
        '%',  0,    '1',  0,    '\r', 0, '\n', 0,
        0,    0,    0,    0,
    };
    EXPECT_EQ(Resource(RT_MESSAGETABLE, 1, kEnglishUs),
              std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

TEST_F(ModuleResources, EventMessageFormatsAsTheInsertedText) {
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(L"Successful Vyn login for 'bob'")};
    wchar_t text[256] = {};
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_.get(),
                                          0xC0020000, kEnglishUs, text, 256, reinterpret_cast<va_list*>(
                                              const_cast<DWORD_PTR*>(args)));
    EXPECT_EQ(std::wstring(text, length), L"Successful Vyn login for 'bob'\r\n");
}

TEST_F(ModuleResources, ManifestAsksForTheCallersRightsWithoutUiAccess) {
    const std::string manifest = Resource(MAKEINTRESOURCEW(24), 2, kEnglishUs);
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos)
        << manifest;
    EXPECT_EQ(manifest.rfind("<?xml", 0), 0u);
}

TEST_F(ModuleResources, VersionBlockIsInEnglishUs) {
    EXPECT_FALSE(Resource(RT_VERSION, 1, kEnglishUs).empty());
}

class ModuleVersion : public ::testing::Test {
protected:
    void SetUp() override {
        DWORD handle = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(BuiltModulePath().c_str(), &handle);
        ASSERT_NE(size, 0u) << ::GetLastError();
        block_.resize(size);
        ASSERT_TRUE(::GetFileVersionInfoW(BuiltModulePath().c_str(), 0, size, block_.data()));
    }

    std::wstring String(const wchar_t* name) {
        void* value = nullptr;
        UINT chars = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!::VerQueryValueW(block_.data(), path.c_str(), &value, &chars) || !value) return L"<missing>";
        return static_cast<const wchar_t*>(value);
    }

    std::vector<BYTE> block_;
};

TEST_F(ModuleVersion, FileAndProductVersionAre1_1_8_0) {
    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueW(block_.data(), L"\\", &value, &size));
    ASSERT_EQ(size, sizeof(VS_FIXEDFILEINFO));
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(info->dwFileVersionMS, 0x00010001u);
    EXPECT_EQ(info->dwFileVersionLS, 0x00080000u);
    EXPECT_EQ(info->dwProductVersionMS, 0x00010001u);
    EXPECT_EQ(info->dwProductVersionLS, 0x00080000u);
    EXPECT_EQ(info->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(info->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
}

TEST_F(ModuleVersion, StringsNameTheModule) {
    EXPECT_EQ(String(L"FileDescription"), L"GINA Provider");
    EXPECT_EQ(String(L"InternalName"), L"VynGina.dll");
    EXPECT_EQ(String(L"OriginalFilename"), L"VynGina.dll");
    EXPECT_EQ(String(L"FileVersion"), L"1.1.8.0");
    EXPECT_EQ(String(L"ProductVersion"), L"1.1.8.0");
    EXPECT_EQ(String(L"CompanyName"), L"Vyn Security");
}

TEST_F(ModuleVersion, TranslationIsEnglishUsUnicode) {
    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation", &value, &size));
    ASSERT_EQ(size, 4u);
    const auto* pair = static_cast<const WORD*>(value);
    EXPECT_EQ(pair[0], 0x409);
    EXPECT_EQ(pair[1], 1200);
}

}  // namespace
