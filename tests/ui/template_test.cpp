// Template 101 as compiled into the module, read back field by field.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/resource_reader.h"

namespace {

struct Item {
    uint32_t helpId, exStyle, style;
    int16_t x, y, cx, cy;
    uint32_t id;
    std::wstring windowClass, title;
    uint16_t extraCount;
};

TEST(StatusDialogTemplate, ModuleCarriesTemplate101ExactlyAsDesigned) {
    const std::vector<uint8_t> bytes = ModuleResource(WinePath(VYN_MODULE_PATH), RT_DIALOG, 101);
    ASSERT_FALSE(bytes.empty()) << "no dialog 101 in language 1033";

    ResourceReader reader(bytes);
    EXPECT_EQ(reader.Read<uint16_t>(), 1);       // dlgVer
    EXPECT_EQ(reader.Read<uint16_t>(), 0xFFFF);  // signature: extended template
    EXPECT_EQ(reader.Read<uint32_t>(), 0u);      // help id
    EXPECT_EQ(reader.Read<uint32_t>(), 0u);      // extended style
    EXPECT_EQ(reader.Read<uint32_t>(), 0x80C000C8u);
    const uint16_t itemCount = reader.Read<uint16_t>();
    EXPECT_EQ(reader.Read<int16_t>(), 0);
    EXPECT_EQ(reader.Read<int16_t>(), 0);
    EXPECT_EQ(reader.Read<int16_t>(), 220);
    EXPECT_EQ(reader.Read<int16_t>(), 62);
    EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // no menu
    EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // default class
    EXPECT_EQ(reader.ReadString(), L"Authenticating...");
    EXPECT_EQ(reader.Read<uint16_t>(), 8);    // point size
    EXPECT_EQ(reader.Read<uint16_t>(), 400);  // weight
    EXPECT_EQ(reader.Read<uint8_t>(), 0);     // not italic
    EXPECT_EQ(reader.Read<uint8_t>(), 1);     // character set
    EXPECT_EQ(reader.ReadString(), L"MS Shell Dlg");
    ASSERT_EQ(itemCount, 3);

    // Predefined classes are stored as atoms: 0x80 button, 0x82 static.
    const Item expected[] = {
        {0, 0, 0x50010000u, 164, 42, 50, 14, 2, L"#128", L"Cancel", 0},
        {0, 0, 0x50800008u, 6, 21, 208, 14, 1001, L"msctls_progress32", L"", 0},
        {0, 0, 0x50024000u, 6, 6, 208, 8, 1002, L"#130", L"Authenticating...", 0},
    };
    for (const Item& want : expected) {
        SCOPED_TRACE(want.id);
        reader.AlignToDword();
        EXPECT_EQ(reader.Read<uint32_t>(), want.helpId);
        EXPECT_EQ(reader.Read<uint32_t>(), want.exStyle);
        EXPECT_EQ(reader.Read<uint32_t>(), want.style);
        EXPECT_EQ(reader.Read<int16_t>(), want.x);
        EXPECT_EQ(reader.Read<int16_t>(), want.y);
        EXPECT_EQ(reader.Read<int16_t>(), want.cx);
        EXPECT_EQ(reader.Read<int16_t>(), want.cy);
        EXPECT_EQ(reader.Read<uint32_t>(), want.id);
        EXPECT_EQ(reader.ReadNameOrOrdinal(), want.windowClass);
        EXPECT_EQ(reader.ReadNameOrOrdinal(), want.title);
        EXPECT_EQ(reader.Read<uint16_t>(), want.extraCount);
    }
    EXPECT_FALSE(reader.Overrun());
    EXPECT_LE(reader.Offset(), bytes.size());
    EXPECT_GE(reader.Offset() + 3, bytes.size());  // nothing after the last item but padding
}

}  // namespace
