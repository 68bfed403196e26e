// The Group Policy templates (packaging/gpo) held to the module's own table of
// settings: each template offers every value of the table, under the policy
// key, with the table's registry type, and nothing else. A setting added to
// the module and forgotten in a template fails here.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>

#include "config/settings.h"

namespace {

struct Offered {
    std::string key;
    DWORD type;
};
using Offers = std::map<std::string, Offered>;

// The templates are read from the source tree, seen under Wine through drive Z:.
std::string ReadText(const char* unixPath) {
    std::string path = "Z:";
    for (const char* p = unixPath; *p; ++p) path += *p == '/' ? '\\' : *p;
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Adds one value, or fails the test when a template offers it twice.
void Offer(Offers& offers, const std::string& name, const std::string& key, DWORD type) {
    EXPECT_TRUE(offers.emplace(name, Offered{key, type}).second) << name << " is offered twice";
}

std::string Attribute(const std::string& tag, const char* name) {
    std::smatch m;
    const std::regex pattern(std::string("\\b") + name + "=\"([^\"]*)\"");
    return std::regex_search(tag, m, pattern) ? m[1].str() : std::string();
}

// ADMX: a policy's own valueName with a decimal enabledValue is a switch;
// the <text> of its elements are strings, their <decimal> numbers, and an
// <enum> is a number when its items are.
Offers ParseAdmx(const std::string& text) {
    Offers offers;
    const std::regex policy("<policy\\b([^>]*)>([\\s\\S]*?)</policy>");
    const std::regex element("<(text|decimal)\\b([^>]*)/?>|<enum\\b([^>]*)>([\\s\\S]*?)</enum>");
    for (std::sregex_iterator p(text.begin(), text.end(), policy), end; p != end; ++p) {
        const std::string head = (*p)[1], body = (*p)[2];
        const std::string key = Attribute(head, "key");
        const std::string own = Attribute(head, "valueName");
        if (!own.empty())
            Offer(offers, own, key,
                  body.find("<enabledValue><decimal") != std::string::npos ? REG_DWORD : REG_NONE);
        std::smatch m;
        const std::string elements =
            std::regex_search(body, m, std::regex("<elements>([\\s\\S]*?)</elements>")) ? m[1].str() : "";
        for (std::sregex_iterator e(elements.begin(), elements.end(), element); e != end; ++e) {
            const bool isEnum = (*e)[3].matched;
            const std::string attributes = isEnum ? (*e)[3] : (*e)[2];
            const std::string elementKey = Attribute(attributes, "key");
            const DWORD type = isEnum ? ((*e)[4].str().find("<decimal") != std::string::npos ? REG_DWORD : REG_NONE)
                               : (*e)[1] == "text" ? REG_SZ
                                                   : REG_DWORD;
            Offer(offers, Attribute(attributes, "valueName"), elementKey.empty() ? key : elementKey, type);
        }
    }
    return offers;
}

// ADM: a PART of type EDITTEXT is a string, NUMERIC a number, a DROPDOWNLIST
// a number when its items' values are NUMERIC; a policy's own
// VALUENAME with VALUEON NUMERIC is a switch. A policy without KEYNAME takes
// the one last named before it.
Offers ParseAdm(const std::string& text) {
    Offers offers;
    const std::regex policy("\\bPOLICY\\b([\\s\\S]*?)\\bEND POLICY\\b");
    const std::regex keyName("\\bKEYNAME\\s+\"([^\"]*)\"");
    const std::regex part("\\bPART\\s+\\S+\\s+(\\w+)([\\s\\S]*?)\\bEND PART\\b");
    const std::regex valueName("\\bVALUENAME\\s+\"([^\"]*)\"");
    std::string lastKey;
    for (std::sregex_iterator p(text.begin(), text.end(), policy), end; p != end; ++p) {
        const std::string before(text.begin(), text.begin() + p->position());
        for (std::sregex_iterator k(before.begin(), before.end(), keyName); k != end; ++k) lastKey = (*k)[1];
        std::string body = (*p)[1];
        std::smatch m;
        const std::string key = std::regex_search(body, m, keyName) ? m[1].str() : lastKey;
        for (std::sregex_iterator q(body.begin(), body.end(), part); q != end; ++q) {
            const std::string partBody = (*q)[2];
            if (std::regex_search(partBody, m, valueName))
                Offer(offers, m[1], key,
                      (*q)[1] == "EDITTEXT"  ? REG_SZ
                      : (*q)[1] == "NUMERIC" ? REG_DWORD
                      : (*q)[1] == "DROPDOWNLIST" && partBody.find("VALUE NUMERIC") != std::string::npos
                          ? REG_DWORD
                          : REG_NONE);
        }
        const std::string outside = std::regex_replace(body, part, "");
        if (std::regex_search(outside, m, valueName))
            Offer(offers, m[1], key,
                  outside.find("VALUEON NUMERIC") != std::string::npos ? REG_DWORD : REG_NONE);
    }
    return offers;
}

void ExpectTheTable(const Offers& offers, const char* file) {
    for (const SettingInfo& setting : kSettings) {
        const auto found = offers.find(setting.name);
        if (found == offers.end()) {
            ADD_FAILURE() << file << " lacks " << setting.name;
            continue;
        }
        EXPECT_EQ(found->second.key, kPolicySettingsKey) << file << ": " << setting.name;
        EXPECT_EQ(found->second.type, setting.type) << file << ": " << setting.name;
    }
    for (const auto& [name, offered] : offers) {
        bool known = false;
        for (const SettingInfo& setting : kSettings) known = known || name == setting.name;
        EXPECT_TRUE(known) << file << " offers " << name << ", which the module does not read";
    }
}

TEST(GroupPolicyTemplates, AdmOffersEverySettingWithItsType) {
    const std::string text = ReadText(VYN_ADM_PATH);
    ASSERT_FALSE(text.empty()) << VYN_ADM_PATH;
    ExpectTheTable(ParseAdm(text), "VynSecurity.adm");
}

TEST(GroupPolicyTemplates, AdmxOffersEverySettingWithItsType) {
    const std::string text = ReadText(VYN_ADMX_PATH);
    ASSERT_FALSE(text.empty()) << VYN_ADMX_PATH;
    ExpectTheTable(ParseAdmx(text), "VynSecurity.admx");
}

// The readers above, on small samples, so that a pass means something.
TEST(GroupPolicyTemplates, ReadersTellTypesAndKeysApart) {
    const Offers adm = ParseAdm(
        "CATEGORY !!C\r\n KEYNAME \"Outer\"\r\n POLICY !!A\r\n  PART !!L EDITTEXT\r\n   VALUENAME \"A\"\r\n  END PART\r\n"
        " END POLICY\r\n POLICY !!B\r\n  KEYNAME \"Inner\"\r\n  VALUENAME \"B\"\r\n  VALUEON NUMERIC 1\r\n END POLICY\r\n"
        " POLICY !!N\r\n  PART !!L NUMERIC\r\n   VALUENAME \"N\"\r\n  END PART\r\n END POLICY\r\n"
        " POLICY !!E\r\n  PART !!L DROPDOWNLIST\r\n   VALUENAME \"E\"\r\n   ITEMLIST\r\n    NAME !!X VALUE NUMERIC 0\r\n"
        "   END ITEMLIST\r\n  END PART\r\n END POLICY\r\n"
        " POLICY !!F\r\n  PART !!L DROPDOWNLIST\r\n   VALUENAME \"F\"\r\n   ITEMLIST\r\n    NAME !!X VALUE \"0\"\r\n"
        "   END ITEMLIST\r\n  END PART\r\n END POLICY\r\nEND CATEGORY\r\n");
    ASSERT_EQ(adm.size(), 5u);
    EXPECT_EQ(adm.at("A").type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(adm.at("A").key, "Outer");
    EXPECT_EQ(adm.at("B").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(adm.at("B").key, "Inner");
    EXPECT_EQ(adm.at("N").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(adm.at("E").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(adm.at("F").type, static_cast<DWORD>(REG_NONE));

    const Offers admx = ParseAdmx(
        "<policy name=\"S\" key=\"K\"><elements><text id=\"S\" valueName=\"S\"/></elements></policy>"
        "<policy name=\"D\" key=\"K\" valueName=\"D\"><enabledValue><decimal value=\"1\"/></enabledValue></policy>"
        "<policy name=\"T\" key=\"K\" valueName=\"T\"><enabledValue><string>on</string></enabledValue></policy>"
        "<policy name=\"E\" key=\"K\"><elements><enum id=\"E\" valueName=\"E\"><item><value><decimal value=\"2\"/>"
        "</value></item></enum></elements></policy>"
        "<policy name=\"F\" key=\"K\"><elements><enum id=\"F\" valueName=\"F\"><item><value><string>x</string>"
        "</value></item></enum></elements></policy>");
    ASSERT_EQ(admx.size(), 5u);
    EXPECT_EQ(admx.at("S").type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(admx.at("D").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(admx.at("T").type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(admx.at("E").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(admx.at("F").type, static_cast<DWORD>(REG_NONE));
}

}  // namespace
