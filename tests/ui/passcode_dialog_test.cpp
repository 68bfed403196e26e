// The passcode dialog's placement rule, and its template and icon as compiled
// into the module, read back from the built file. The dialog's behaviour with
// a user in front of it is exercised through the whole module in tests/e2e.
#include <windows.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/resource_reader.h"
#include "ui/passcode_dialog.h"

namespace {

struct Placement {
    int screenWidth, screenHeight, width, height;
    LONG x, y;
};

TEST(PasscodeDialogPosition, CentredHorizontallyAThirdDownTruncatedTowardZero) {
    const Placement cases[] = {
        {1024, 768, 360, 140, 332, 207},  // 628 * 0.33 = 207.24
        {1280, 1024, 361, 141, 459, 291}, // 919 * 0.5 = 459.5, 883 * 0.33 = 291.39
        {800, 600, 800, 600, 0, 0},       // as large as the screen
        {640, 480, 701, 500, -30, -6},    // larger: -30.5 and -6.6 truncate toward zero
        {0, 0, 0, 0, 0, 0},
    };
    for (const Placement& c : cases) {
        SCOPED_TRACE(testing::Message() << c.screenWidth << "x" << c.screenHeight << " " << c.width << "x" << c.height);
        const POINT at = PasscodeDialogPosition(c.screenWidth, c.screenHeight, c.width, c.height);
        EXPECT_EQ(at.x, c.x);
        EXPECT_EQ(at.y, c.y);
    }
}

std::vector<uint8_t> ModuleResource(LPCWSTR type, WORD id, bool englishUs) {
    return ::ModuleResource(WinePath(VYN_MODULE_PATH), type, id, englishUs);
}

struct Control {
    uint32_t style;
    int16_t x, y, cx, cy;
    uint32_t id;
    std::wstring windowClass, title;
};

TEST(PasscodeDialogTemplate, ModuleCarriesTemplate12325ExactlyAsDesigned) {
    const std::vector<uint8_t> bytes = ModuleResource(RT_DIALOG, 12325, true);
    ASSERT_FALSE(bytes.empty()) << "no dialog 12325 in language 1033";
    ResourceReader reader(bytes);
    EXPECT_EQ(reader.Read<uint16_t>(), 1);       // extended template version
    EXPECT_EQ(reader.Read<uint16_t>(), 0xFFFF);  // signature
    EXPECT_EQ(reader.Read<uint32_t>(), 0u);      // help id
    EXPECT_EQ(reader.Read<uint32_t>(), 0u);      // extended style
    EXPECT_EQ(reader.Read<uint32_t>(), 0x80C800C8u);
    const uint16_t count = reader.Read<uint16_t>();
    EXPECT_EQ(reader.Read<int16_t>(), 0);
    EXPECT_EQ(reader.Read<int16_t>(), 0);
    EXPECT_EQ(reader.Read<int16_t>(), 233);
    EXPECT_EQ(reader.Read<int16_t>(), 76);
    EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // menu
    EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // class
    EXPECT_EQ(reader.ReadString(), L"Vyn Security");
    EXPECT_EQ(reader.Read<uint16_t>(), 8);
    EXPECT_EQ(reader.Read<uint16_t>(), 400);
    EXPECT_EQ(reader.Read<uint8_t>(), 0);
    EXPECT_EQ(reader.Read<uint8_t>(), 1);
    EXPECT_EQ(reader.ReadString(), L"MS Shell Dlg");
    ASSERT_EQ(count, 5);

    // Predefined classes are atoms: 0x80 button, 0x81 edit, 0x82 static.
    const Control expected[] = {
        {0x50810080u, 55, 31, 154, 14, 1001, L"#129", L""},
        {0x50010001u, 99, 55, 50, 14, 1, L"#128", L"OK"},
        {0x50010000u, 159, 55, 50, 14, 2, L"#128", L"Cancel"},
        {0x50020000u, 23, 7, 186, 17, 0xFFFFFFFFu, L"#130",
         L"Enter a Vyn passcode or second factor (\"push\", \"phone\", or \"sms\") to authenticate:"},
        {0x50000003u, 23, 28, 21, 20, 0xFFFFFFFFu, L"#130", L"#102"},
    };
    for (const Control& want : expected) {
        SCOPED_TRACE(want.title);
        reader.AlignToDword();
        EXPECT_EQ(reader.Read<uint32_t>(), 0u);  // help id
        EXPECT_EQ(reader.Read<uint32_t>(), 0u);  // extended style
        EXPECT_EQ(reader.Read<uint32_t>(), want.style);
        EXPECT_EQ(reader.Read<int16_t>(), want.x);
        EXPECT_EQ(reader.Read<int16_t>(), want.y);
        EXPECT_EQ(reader.Read<int16_t>(), want.cx);
        EXPECT_EQ(reader.Read<int16_t>(), want.cy);
        EXPECT_EQ(reader.Read<uint32_t>(), want.id);
        EXPECT_EQ(reader.ReadNameOrOrdinal(), want.windowClass);
        EXPECT_EQ(reader.ReadNameOrOrdinal(), want.title);
        const uint16_t extra = reader.Read<uint16_t>();
        EXPECT_EQ(extra, 0);
    }
    EXPECT_FALSE(reader.Overrun());
    EXPECT_LE(bytes.size() - reader.Offset(), 3u);  // nothing after the last control but padding
}

TEST(PasscodeDialogIcon, GroupHoldsSixImages32And16PixelsAt8_24And32Bits) {
    const std::vector<uint8_t> group = ModuleResource(RT_GROUP_ICON, 102, false);
    ASSERT_FALSE(group.empty()) << "no icon group 102";
    ResourceReader reader(group);
    EXPECT_EQ(reader.Read<uint16_t>(), 0);  // reserved
    EXPECT_EQ(reader.Read<uint16_t>(), 1);  // icons
    const uint16_t count = reader.Read<uint16_t>();
    ASSERT_EQ(count, 6);

    std::set<std::tuple<int, int, int>> seen;
    for (int i = 0; i < count; ++i) {
        const int width = reader.Read<uint8_t>();
        const int height = reader.Read<uint8_t>();
        reader.Read<uint8_t>();  // colour count
        reader.Read<uint8_t>();  // reserved
        EXPECT_EQ(reader.Read<uint16_t>(), 1);  // planes
        const int bits = reader.Read<uint16_t>();
        const uint32_t size = reader.Read<uint32_t>();
        const uint16_t id = reader.Read<uint16_t>();
        seen.insert(std::make_tuple(width, height, bits));

        // The image itself agrees with its directory entry.
        SCOPED_TRACE(testing::Message() << "image " << id);
        const std::vector<uint8_t> image = ModuleResource(RT_ICON, id, false);
        ASSERT_EQ(image.size(), size);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER header;
        std::memcpy(&header, image.data(), sizeof header);
        EXPECT_EQ(header.biWidth, width);
        EXPECT_EQ(header.biHeight, 2 * height);  // colour and mask
        EXPECT_EQ(header.biBitCount, bits);
    }
    EXPECT_FALSE(reader.Overrun());
    const std::set<std::tuple<int, int, int>> expected = {
        {32, 32, 8}, {32, 32, 24}, {32, 32, 32}, {16, 16, 8}, {16, 16, 24}, {16, 16, 32}};
    EXPECT_EQ(seen, expected);

    // The system can make icons of both sizes from it.
    HMODULE module = ::LoadLibraryExW(WinePath(VYN_MODULE_PATH).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    for (int size : {16, 32}) {
        HICON icon = static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(102), IMAGE_ICON, size, size, 0));
        EXPECT_NE(icon, nullptr) << size;
        if (icon) ::DestroyIcon(icon);
    }
    ::FreeLibrary(module);
}

}  // namespace
