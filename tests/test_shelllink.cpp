// The shortcut reader, the shortcut resolver and the drive map.
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library/ShortcutResolver.h"
#include "platform/files/Paths.h"
#include "platform/files/ShellLink.h"

namespace fs = std::filesystem;
using namespace kestro;
using namespace kestro::platform;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kLnkDir = std::string(KESTRO_TESTDATA_DIR) + "/lnk";

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

struct Vector {
    std::map<std::string, std::string> col;
    const std::string& operator[](const std::string& name) const { return col.at(name); }
};

std::vector<Vector> readExpected() {
    std::ifstream in(kLnkDir + "/expected.tsv");
    std::vector<Vector> rows;
    std::vector<std::string> header;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        if (header.empty()) {
            header = fields;
            continue;
        }
        Vector row;
        for (std::size_t i = 0; i < header.size(); ++i) row.col[header[i]] = i < fields.size() ? fields[i] : "";
        rows.push_back(row);
    }
    return rows;
}

// The code page a vector's ANSI text was written in.
int codePageFor(const std::string& file) { return file == "cp1251_base_plus_suffix.lnk" ? 1251 : 1252; }

// The target this reader gives for a vector: the expected raw target, or,
// for links that hold only an ID list, the path rebuilt from it.
std::string wantedTarget(const Vector& v) {
    return v["expected_raw_target"].empty() ? v["idlist_path"] : v["expected_raw_target"];
}

// Saves and restores the process-wide settings the reader and the drive
// map use, and gives each test a fresh temporary folder.
class ShortcutFixture : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"KESTRO_DRIVES", "KESTRO_ANSI_CODEPAGE"}) {
            const char* value = std::getenv(name);
            if (value) saved_[name] = value;
            ::unsetenv(name);
        }
        resetDriveMappings();
        setShellLinkAnsiCodePage(1252);
        std::string pattern = ::testing::TempDir() + "kestro_lnk_XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        ASSERT_NE(::mkdtemp(buf.data()), nullptr);
        dir_ = buf.data();
    }
    void TearDown() override {
        for (const char* name : {"KESTRO_DRIVES", "KESTRO_ANSI_CODEPAGE"}) {
            auto it = saved_.find(name);
            if (it != saved_.end()) {
                ::setenv(name, it->second.c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
        resetDriveMappings();
        setShellLinkAnsiCodePage(1252);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    std::map<std::string, std::string> saved_;
};

// ----------------------------------------------------- a link builder ---

void put16(Bytes& b, std::size_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}
void put32(Bytes& b, std::size_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void set32(Bytes& b, std::size_t at, std::size_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes utf16(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) put16(b, c);
    return b;
}

// Makes a shortcut the way Windows lays one out: header, LinkInfo with a
// local path (ANSI, optionally Unicode too), and optionally an
// environment-variables block.
struct LinkSpec {
    Bytes base, suffix;             // ANSI LocalBasePath / CommonPathSuffix
    bool unicodeInfo = false;       // LinkInfo header 0x24 with Unicode copies
    Bytes baseU, suffixU;           // UTF-16LE, without NUL
    bool env = false;
    Bytes envAnsi, envUnicode;      // env block targets
    std::uint32_t extraFlags = 0;
    bool expStringFlag = true;
    bool linkInfo = true;
};

Bytes buildLink(const LinkSpec& s) {
    Bytes b;
    put32(b, 0x4C);
    const unsigned char clsid[16] = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    b.insert(b.end(), clsid, clsid + 16);
    std::uint32_t flags = s.extraFlags | kLinkIsUnicode;
    if (s.linkInfo) flags |= kLinkHasLinkInfo;
    if (s.env && s.expStringFlag) flags |= kLinkHasExpString;
    put32(b, flags);
    b.resize(0x4C, 0);

    if (s.linkInfo) {
        Bytes info;
        const std::size_t header = s.unicodeInfo ? 0x24 : 0x1C;
        info.resize(header, 0);
        Bytes volume;
        put32(volume, 0x11);
        put32(volume, 3);
        put32(volume, 0x12345678);
        put32(volume, 0x10);
        volume.push_back(0);
        std::size_t volOff = info.size();
        info.insert(info.end(), volume.begin(), volume.end());
        std::size_t baseOff = info.size();
        info.insert(info.end(), s.base.begin(), s.base.end());
        info.push_back(0);
        std::size_t suffixOff = info.size();
        info.insert(info.end(), s.suffix.begin(), s.suffix.end());
        info.push_back(0);
        std::size_t baseUOff = 0, suffixUOff = 0;
        if (s.unicodeInfo) {
            if (info.size() & 1) info.push_back(0);
            baseUOff = info.size();
            info.insert(info.end(), s.baseU.begin(), s.baseU.end());
            put16(info, 0);
            suffixUOff = info.size();
            info.insert(info.end(), s.suffixU.begin(), s.suffixU.end());
            put16(info, 0);
        }
        set32(info, 0, info.size());
        set32(info, 4, header);
        set32(info, 8, 1);
        set32(info, 12, volOff);
        set32(info, 16, baseOff);
        set32(info, 20, 0);
        set32(info, 24, suffixOff);
        if (s.unicodeInfo) {
            set32(info, 28, baseUOff);
            set32(info, 32, suffixUOff);
        }
        b.insert(b.end(), info.begin(), info.end());
    }
    if (s.env) {
        put32(b, 0x314);
        put32(b, 0xA0000001);
        Bytes a = s.envAnsi, u = s.envUnicode;
        a.resize(260, 0);
        u.resize(520, 0);
        b.insert(b.end(), a.begin(), a.end());
        b.insert(b.end(), u.begin(), u.end());
    }
    put32(b, 0);  // terminal block
    return b;
}

std::string rawPath(const Bytes& b) { return shellLinkRawPath(b.data(), b.size()); }

}  // namespace

// ================================================== the real vectors ===

using ShellLinkVectors = ShortcutFixture;

TEST_F(ShellLinkVectors, EveryVectorIsListedAndIntact) {
    auto rows = readExpected();
    std::set<std::string> listed;
    for (const auto& row : rows) listed.insert(row["file"]);
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(kLnkDir)) {
        if (entry.path().extension() == ".lnk") present.insert(entry.path().filename().string());
    }
    EXPECT_EQ(listed, present);
    EXPECT_EQ(rows.size(), 30u);
}

TEST_F(ShellLinkVectors, ExpectedRawTargetOfEveryVector) {
    auto rows = readExpected();
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        SCOPED_TRACE(row["file"]);
        ASSERT_TRUE(setShellLinkAnsiCodePage(codePageFor(row["file"])));
        Bytes data = readFile(kLnkDir + "/" + row["file"]);
        ASSERT_FALSE(data.empty());
        EXPECT_EQ(rawPath(data), wantedTarget(row));

        // The same through the file reader and the resolver.
        std::string viaFile;
        int status = readShellLinkFile((kLnkDir + "/" + row["file"]).c_str(), viaFile);
        EXPECT_EQ(viaFile, wantedTarget(row));
        EXPECT_EQ(status, row["file"] == "not_a_shell_link_recycle_I.lnk" ? kShellLinkNotALink : kShellLinkOk);
        std::strcpy(shortcutTarget, "stale");
        EXPECT_EQ(resolveShortcut((kLnkDir + "/" + row["file"]).c_str()), status);
        EXPECT_EQ(std::string(shortcutTarget), wantedTarget(row));
    }
}

// Field by field against the lnkinfo columns, where lnkinfo is right.
TEST_F(ShellLinkVectors, FieldsAgreeWithTheReferenceColumns) {
    for (const auto& row : readExpected()) {
        SCOPED_TRACE(row["file"]);
        setShellLinkAnsiCodePage(codePageFor(row["file"]));
        Bytes data = readFile(kLnkDir + "/" + row["file"]);
        ShellLinkFields f;
        bool isLink = parseShellLink(data.data(), data.size(), f);
        EXPECT_EQ(isLink, row["file"] != "not_a_shell_link_recycle_I.lnk");
        if (row["notes"].find("lnkinfo FAILED") != std::string::npos) continue;  // no reference
        EXPECT_EQ(f.envTarget, row["env_path"]);
        EXPECT_EQ(f.networkPath, row["network_path"]);
        EXPECT_EQ(f.idListPath, row["idlist_path"]);
        const std::string& notes = row["notes"];
        bool lnkinfoWrong = notes.find("[LNKINFO-WRONG]") != std::string::npos;
        bool utf8InAnsi = row["file"] == "utf8_in_ansi_diacritics.lnk";
        if (!lnkinfoWrong && !utf8InAnsi) {
            EXPECT_EQ(f.localPath, row["local_path"]);
            EXPECT_EQ(f.relativePath, row["relative_path"]);
        }
    }
}

TEST_F(ShellLinkVectors, ChosenBehaviourForTheOpenCases) {
    auto target = [](const std::string& file) { return rawPath(readFile(kLnkDir + "/" + file)); };
    // A link holding only an ID list gives the path rebuilt from it.
    EXPECT_EQ(target("idlist_only_fs_path.lnk"), "C:\\Program Files\\CA\\ARCserve Backup\\ARCserveMgr.exe");
    EXPECT_EQ(target("idlist_only_this_pc.lnk"), "");
    EXPECT_EQ(target("idlist_only_uwp_app.lnk"), "");
    // A mapped drive gives the drive-letter form, not the UNC form.
    EXPECT_EQ(target("mapped_drive_z.lnk"), "Z:\\Downloads\\folder1\\file1.txt");
    // A lone surrogate becomes U+FFFD.
    EXPECT_EQ(target("unpaired_surrogate.lnk"), "C:\\test\\unicode_U+0000d800_\xEF\xBF\xBD.exe");
    // The damaged terminal block: the whole env block before it counts.
    Bytes corrupt = readFile(kLnkDir + "/corrupt_terminal_block.lnk");
    ShellLinkFields f;
    ASSERT_TRUE(parseShellLink(corrupt.data(), corrupt.size(), f));
    EXPECT_FALSE(f.complete);
    EXPECT_EQ(shellLinkTarget(f), "C:\\Users\\%USERNAME%\\AppData\\Roaming\\.minecraft");
    Bytes intact = readFile(kLnkDir + "/env_midpath_folder.lnk");
    ASSERT_TRUE(parseShellLink(intact.data(), intact.size(), f));
    EXPECT_TRUE(f.complete);
}

TEST_F(ShellLinkVectors, AnsiCodePageDecidesNonUtf8Text) {
    Bytes data = readFile(kLnkDir + "/cp1251_base_plus_suffix.lnk");
    ASSERT_TRUE(setShellLinkAnsiCodePage(1252));
    EXPECT_EQ(rawPath(data), "C:\\Users\\\xC3\x84\xC3\xA8\xC3\xAC\xC3\xA0\\Desktop\\PixelMod\\Mod for Pixelmon\\Error Fix.bat");
    ASSERT_TRUE(setShellLinkAnsiCodePage(1251));
    EXPECT_EQ(rawPath(data), "C:\\Users\\Дима\\Desktop\\PixelMod\\Mod for Pixelmon\\Error Fix.bat");
    // UTF-8 in an ANSI field stays UTF-8 whatever the code page.
    Bytes utf8 = readFile(kLnkDir + "/utf8_in_ansi_diacritics.lnk");
    EXPECT_EQ(rawPath(utf8), "D:\\ööö\\äöüàéèíïóòúü.txt");
}

// ============================================== damaged and hostile data ===

using ShellLinkDamage = ShortcutFixture;

// Every prefix of every vector: no crash, and whatever a prefix yields is a
// field of the whole file (what is read is read whole, never half).
TEST_F(ShellLinkDamage, EveryTruncationOfEveryVector) {
    for (const auto& row : readExpected()) {
        SCOPED_TRACE(row["file"]);
        setShellLinkAnsiCodePage(codePageFor(row["file"]));
        Bytes data = readFile(kLnkDir + "/" + row["file"]);
        ShellLinkFields full;
        bool fullIsLink = parseShellLink(data.data(), data.size(), full);
        for (std::size_t len = 0; len < data.size(); ++len) {
            // A copy of exactly `len` bytes, so ASan sees any read past it.
            Bytes cut(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(len));
            ShellLinkFields f;
            bool isLink = parseShellLink(cut.data(), cut.size(), f);
            EXPECT_EQ(isLink, fullIsLink && len >= 0x4C) << "length " << len;
            if (!isLink) continue;
            for (auto field : {&ShellLinkFields::envTarget, &ShellLinkFields::localPath,
                               &ShellLinkFields::devicePath, &ShellLinkFields::networkPath,
                               &ShellLinkFields::idListPath}) {
                if (!(f.*field).empty()) {
                    EXPECT_EQ(f.*field, full.*field) << "length " << len;
                }
            }
        }
    }
}

TEST_F(ShellLinkDamage, ByteFlipsAndRandomDataDoNotCrash) {
    std::mt19937 rng(20240611);
    Bytes base = readFile(kLnkDir + "/unicode_emoji.lnk");
    ASSERT_FALSE(base.empty());
    for (std::size_t i = 0; i < base.size(); ++i) {
        for (unsigned char v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
            Bytes m = base;
            m[i] = v;
            std::string t = rawPath(m);
            EXPECT_TRUE(isValidUtf8(reinterpret_cast<const unsigned char*>(t.data()), t.size()));
        }
    }
    for (int round = 0; round < 3000; ++round) {
        Bytes m = base;
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits; ++e) m[rng() % m.size()] = static_cast<unsigned char>(rng());
        m.resize(rng() % (m.size() + 1));
        std::string t = rawPath(m);
        EXPECT_TRUE(isValidUtf8(reinterpret_cast<const unsigned char*>(t.data()), t.size()));
    }
    EXPECT_EQ(shellLinkRawPath(nullptr, 0), "");
    EXPECT_EQ(shellLinkRawPath(nullptr, 100), "");
}

// Impossible sizes in each section of the worked example from the format's
// documentation (ID list at 76, LinkInfo at 267, StringData at 327): the
// sections before the damage still count, the ones after it do not.
TEST_F(ShellLinkDamage, ImpossibleSizesEndTheReadingThere) {
    const Bytes base = readFile(kLnkDir + "/ms_worked_example.lnk");
    ASSERT_EQ(base.size(), 459u);
    auto parse = [](Bytes b, std::size_t at, std::vector<unsigned char> bytes) {
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        ShellLinkFields f;
        EXPECT_TRUE(parseShellLink(b.data(), b.size(), f));
        return f;
    };
    ShellLinkFields f = parse(base, 0, {});
    ASSERT_TRUE(f.complete);
    ASSERT_EQ(f.localPath, "C:\\test\\a.txt");
    ASSERT_EQ(f.idListPath, "C:\\test\\a.txt");

    f = parse(base, 76, {0xFF, 0xFF});  // IDListSize past the end
    EXPECT_FALSE(f.complete);
    EXPECT_EQ(f.idListPath, "");
    EXPECT_EQ(f.localPath, "");
    EXPECT_EQ(shellLinkTarget(f), "");

    f = parse(base, 78, {0x01, 0x00});  // an ID list item of one byte
    EXPECT_TRUE(f.complete);
    EXPECT_EQ(f.idListPath, "");
    EXPECT_EQ(shellLinkTarget(f), "C:\\test\\a.txt");  // from LinkInfo

    f = parse(base, 267, {0xFF, 0xFF, 0xFF, 0xFF});  // LinkInfoSize past the end
    EXPECT_FALSE(f.complete);
    EXPECT_EQ(f.localPath, "");
    EXPECT_EQ(f.relativePath, "");
    EXPECT_EQ(shellLinkTarget(f), "C:\\test\\a.txt");  // from the ID list

    f = parse(base, 267, {0x04, 0x00, 0x00, 0x00});  // LinkInfoSize too small
    EXPECT_FALSE(f.complete);
    EXPECT_EQ(f.localPath, "");

    f = parse(base, 271, {0xFF, 0xFF, 0xFF, 0xFF});  // LinkInfoHeaderSize too large
    EXPECT_TRUE(f.complete);
    EXPECT_EQ(f.localPath, "");
    EXPECT_EQ(f.relativePath, ".\\a.txt");

    f = parse(base, 327, {0xFF, 0xFF});  // RELATIVE_PATH count past the end
    EXPECT_FALSE(f.complete);
    EXPECT_EQ(f.relativePath, "");
    EXPECT_EQ(f.localPath, "C:\\test\\a.txt");

    // The first extra-data block claims nearly 4 GiB.
    Bytes b = base;
    std::size_t extra = 327 + 2 + 2 * 7;  // ".\a.txt"
    std::size_t wdCount = b[extra] | (b[extra + 1] << 8);
    extra += 2 + 2 * wdCount;
    f = parse(base, extra, {0xF8, 0xFF, 0xFF, 0xFF});
    EXPECT_FALSE(f.complete);
    EXPECT_EQ(f.localPath, "C:\\test\\a.txt");
    f = parse(base, extra, {0x07, 0x00, 0x00, 0x00});  // a block too small to hold its signature
    EXPECT_FALSE(f.complete);
}

TEST_F(ShellLinkDamage, HeaderMustBeWholeAndRight) {
    LinkSpec s;
    s.base = ascii("C:\\a.mp3");
    Bytes good = buildLink(s);
    EXPECT_EQ(rawPath(good), "C:\\a.mp3");
    Bytes badSize = good;
    badSize[0] = 0x4D;
    EXPECT_EQ(rawPath(badSize), "");
    Bytes badClsid = good;
    badClsid[19] = 0x47;
    EXPECT_EQ(rawPath(badClsid), "");
    EXPECT_EQ(shellLinkRawPath(good.data(), 0x4B), "");
}

TEST_F(ShellLinkDamage, OffsetsOutsideLinkInfoArePassedOver) {
    LinkSpec s;
    s.base = ascii("C:\\Music\\a.mp3");
    s.env = true;
    s.envAnsi = ascii("%MUSIC%\\a.mp3");
    Bytes b = buildLink(s);
    const std::size_t info = 0x4C;
    set32(b, info + 16, 0xFFFFFFF0);  // LocalBasePathOffset far outside
    ShellLinkFields f;
    ASSERT_TRUE(parseShellLink(b.data(), b.size(), f));
    EXPECT_EQ(f.localPath, "");
    EXPECT_EQ(f.envTarget, "%MUSIC%\\a.mp3");  // the sections after it still read
    EXPECT_TRUE(f.complete);
    // A LinkInfo larger than the file ends the reading there.
    set32(b, info, 0x7FFFFFFF);
    ASSERT_TRUE(parseShellLink(b.data(), b.size(), f));
    EXPECT_FALSE(f.complete);
    EXPECT_EQ(f.envTarget, "");
}

// ================================================ built links, rules ===

using ShellLinkRules = ShortcutFixture;

TEST_F(ShellLinkRules, LongTargetIsGivenWhole) {
    LinkSpec s;
    s.base = ascii("C:\\" + std::string(300, 'a'));
    EXPECT_EQ(rawPath(buildLink(s)), "C:\\" + std::string(300, 'a'));
    s.unicodeInfo = true;
    s.baseU = utf16(u"C:\\" + std::u16string(255, u'b') + u"\u00E9zz");
    EXPECT_EQ(rawPath(buildLink(s)), "C:\\" + std::string(255, 'b') + "\u00E9zz");
}

TEST_F(ShellLinkRules, UnicodeWinsAndEnvBlockWinsOverLinkInfo) {
    LinkSpec s;
    s.base = ascii("C:\\test??.mp3");
    s.unicodeInfo = true;
    s.baseU = utf16(u"C:\\test\u2764.mp3");
    EXPECT_EQ(rawPath(buildLink(s)), "C:\\test\u2764.mp3");

    s.env = true;
    s.envAnsi = ascii("%USERPROFILE%\\x?.mp3");
    s.envUnicode = utf16(u"%USERPROFILE%\\x\u00E9.mp3");
    EXPECT_EQ(rawPath(buildLink(s)), "%USERPROFILE%\\xé.mp3");
    // An empty Unicode target falls back on the ANSI one.
    s.envUnicode.clear();
    EXPECT_EQ(rawPath(buildLink(s)), "%USERPROFILE%\\x?.mp3");
    // Without the HasExpString flag the block is not the link's target.
    s.expStringFlag = false;
    EXPECT_EQ(rawPath(buildLink(s)), "C:\\test\u2764.mp3");
}

TEST_F(ShellLinkRules, BaseAndSuffixAreJoinedWithOneBackslash) {
    LinkSpec s;
    s.base = ascii("C:\\Users\\");
    s.suffix = ascii("me\\song.mp3");
    EXPECT_EQ(rawPath(buildLink(s)), "C:\\Users\\me\\song.mp3");
    s.base = ascii("C:\\Users");
    EXPECT_EQ(rawPath(buildLink(s)), "C:\\Users\\me\\song.mp3");
    s.suffix.clear();
    EXPECT_EQ(rawPath(buildLink(s)), "C:\\Users");
}

TEST_F(ShellLinkRules, ForceNoLinkInfoIgnoresLinkInfo) {
    LinkSpec s;
    s.base = ascii("C:\\a.mp3");
    s.extraFlags = kLinkForceNoLinkInfo;
    EXPECT_EQ(rawPath(buildLink(s)), "");
}

TEST_F(ShellLinkRules, AnsiTextFromEachCodePage) {
    LinkSpec s;
    s.base = ascii("C:\\");
    s.base.push_back(0x8A);  // Š in 1252 and 1250, Љ in 1251
    s.base.push_back(0xC4);  // Ä in 1252 and 1250, Д in 1251
    Bytes b = buildLink(s);
    EXPECT_EQ(rawPath(b), "C:\\ŠÄ");
    ASSERT_TRUE(setShellLinkAnsiCodePage(1251));
    EXPECT_EQ(rawPath(b), "C:\\ЉД");
    ASSERT_TRUE(setShellLinkAnsiCodePage(1250));
    EXPECT_EQ(rawPath(b), "C:\\ŠÄ");
    ASSERT_TRUE(setShellLinkAnsiCodePage(28591));
    EXPECT_EQ(rawPath(b), "C:\\\xC2\x8AÄ");
    EXPECT_FALSE(setShellLinkAnsiCodePage(437));
    EXPECT_FALSE(setShellLinkAnsiCodePage(65001));
    EXPECT_EQ(shellLinkAnsiCodePage(), 28591);
}

// ================================================================ text ===

using ShellLinkText = ShortcutFixture;

// The built-in tables against the C library's own converters.
TEST_F(ShellLinkText, CodePageTablesMatchIconv) {
    for (int cp : {1250, 1251, 1252}) {
        SCOPED_TRACE(cp);
        ASSERT_TRUE(setShellLinkAnsiCodePage(cp));
        std::string name = "CP" + std::to_string(cp);
        iconv_t cd = ::iconv_open("UTF-8", name.c_str());
        ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
        int compared = 0;
        for (int byte = 0x80; byte <= 0xFF; ++byte) {
            char in[1] = {static_cast<char>(byte)};
            char out[8];
            char* ip = in;
            char* op = out;
            std::size_t il = 1, ol = sizeof out;
            ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (::iconv(cd, &ip, &il, &op, &ol) == static_cast<std::size_t>(-1)) continue;  // undefined byte
            unsigned char b = static_cast<unsigned char>(byte);
            EXPECT_EQ(decodeAnsi(&b, 1), std::string(out, op)) << std::hex << byte;
            ++compared;
        }
        EXPECT_GT(compared, 120);
        ::iconv_close(cd);
    }
}

TEST_F(ShellLinkText, Utf8Validation) {
    auto valid = [](const std::string& s) {
        return isValidUtf8(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    };
    EXPECT_TRUE(valid("plain"));
    EXPECT_TRUE(valid("\xC3\xA9\xE2\x9D\xA4\xF0\x9F\x8D\xB0"));
    EXPECT_FALSE(valid("\xC0\xAF"));              // overlong
    EXPECT_FALSE(valid("\xE0\x80\xAF"));          // overlong
    EXPECT_FALSE(valid("\xED\xA0\x80"));          // encoded surrogate
    EXPECT_FALSE(valid("\xF4\x90\x80\x80"));      // above U+10FFFF
    EXPECT_FALSE(valid("\xC3"));                  // cut
    EXPECT_FALSE(valid("\xE2\x9D"));              // cut
    EXPECT_FALSE(valid("\x80"));                  // stray continuation
    EXPECT_FALSE(valid("\xC9\x63hantillons"));    // cp1252 É
}

TEST_F(ShellLinkText, Utf16LoneSurrogatesBecomeReplacement) {
    auto decode = [](const std::u16string& s) {
        Bytes b = utf16(s);
        return decodeUtf16le(b.data(), s.size());
    };
    EXPECT_EQ(decode(u"a\U0001F370b"), "a\xF0\x9F\x8D\xB0" "b");
    EXPECT_EQ(decode(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(decode(std::u16string(u"a") + char16_t(0xDC00)), "a\xEF\xBF\xBD");
    EXPECT_EQ(decode(std::u16string(u"a") + char16_t(0xDBFF)), "a\xEF\xBF\xBD");
    EXPECT_EQ(decode(std::u16string(1, char16_t(0xDC00)) + char16_t(0xD800)), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

// =========================================================== resolver ===

using ShortcutResolver = ShortcutFixture;

TEST_F(ShortcutResolver, FailureEmptiesTheTarget) {
    std::strcpy(shortcutTarget, "C:\\left\\over.mp3");
    EXPECT_LT(resolveShortcut(path("missing.lnk").c_str()), 0);
    EXPECT_STREQ(shortcutTarget, "");
    std::strcpy(shortcutTarget, "left over");
    EXPECT_LT(resolveShortcut(""), 0);
    EXPECT_STREQ(shortcutTarget, "");
    std::strcpy(shortcutTarget, "left over");
    EXPECT_LT(resolveShortcut(nullptr), 0);
    EXPECT_STREQ(shortcutTarget, "");
}

TEST_F(ShortcutResolver, PlainAudioFileGivesNothing) {
    Bytes mp3 = ascii("ID3\x03");
    mp3.resize(4096, 0x55);
    writeFile(path("song.m4a"), mp3);
    std::strcpy(shortcutTarget, "left over");
    EXPECT_EQ(resolveShortcut(path("song.m4a").c_str()), kShellLinkNotALink);
    EXPECT_STREQ(shortcutTarget, "");
    EXPECT_FALSE(shortcutTargetExists());

    writeFile(path("empty.lnk"), Bytes());
    EXPECT_EQ(resolveShortcut(path("empty.lnk").c_str()), kShellLinkNotALink);
    EXPECT_STREQ(shortcutTarget, "");
}

TEST_F(ShortcutResolver, FoldersAndPipesNamedLikeShortcuts) {
    fs::create_directory(path("dir.lnk"));
    std::strcpy(shortcutTarget, "left over");
    EXPECT_EQ(resolveShortcut(path("dir.lnk").c_str()), kShellLinkUnreadable);
    EXPECT_STREQ(shortcutTarget, "");
    ASSERT_EQ(::mkfifo(path("pipe.lnk").c_str(), 0600), 0);
    EXPECT_EQ(resolveShortcut(path("pipe.lnk").c_str()), kShellLinkUnreadable);  // returns, no hang
    EXPECT_STREQ(shortcutTarget, "");
}

TEST_F(ShortcutResolver, WindowsShortcutToAnExistingSong) {
    fs::create_directories(path("music/Album"));
    writeFile(path("music/Album/a.mp3"), ascii("ID3"));
    ASSERT_TRUE(setDriveMapping('M', path("music")));
    LinkSpec s;
    s.base = ascii("M:\\Album\\a.mp3");
    writeFile(path("A.lnk"), buildLink(s));
    EXPECT_EQ(resolveShortcut(path("A.lnk").c_str()), 0);
    EXPECT_STREQ(shortcutTarget, "M:\\Album\\a.mp3");
    EXPECT_TRUE(shortcutTargetExists());
    EXPECT_FALSE(shortcutTargetIsFolder());

    s.base = ascii("M:\\Album");
    writeFile(path("Folder.lnk"), buildLink(s));
    EXPECT_EQ(resolveShortcut(path("Folder.lnk").c_str()), 0);
    EXPECT_TRUE(shortcutTargetExists());
    EXPECT_TRUE(shortcutTargetIsFolder());

    // The target deleted: the path stays, but it does not exist.
    fs::remove(path("music/Album/a.mp3"));
    EXPECT_EQ(resolveShortcut(path("A.lnk").c_str()), 0);
    EXPECT_STREQ(shortcutTarget, "M:\\Album\\a.mp3");
    EXPECT_FALSE(shortcutTargetExists());
    // A drive nobody mapped.
    s.base = ascii("Q:\\Album");
    writeFile(path("Q.lnk"), buildLink(s));
    EXPECT_EQ(resolveShortcut(path("Q.lnk").c_str()), 0);
    EXPECT_FALSE(shortcutTargetExists());
}

TEST_F(ShortcutResolver, TargetExistsIsFalseForEmptyText) {
    shortcutTarget[0] = '\0';
    EXPECT_FALSE(shortcutTargetExists());
    EXPECT_FALSE(shortcutTargetIsFolder());
    // A link to "This PC" resolves, with no file-system path.
    EXPECT_EQ(resolveShortcut((kLnkDir + "/idlist_only_this_pc.lnk").c_str()), 0);
    EXPECT_STREQ(shortcutTarget, "");
    EXPECT_FALSE(shortcutTargetExists());
}

// A target is stored whole while it fits the table's path field; a longer
// one counts as missing (a cut path could name another file). Shell-link
// files and symbolic links alike.
TEST_F(ShortcutResolver, LongTargetsAreWholeOrMissing) {
    struct Case {
        std::string target;
        bool symlink;
        bool kept;
    };
    const std::string deep = "/" + std::string(150, 'a') + "/" + std::string(149, 'b');  // 301 bytes
    std::string deeper = deep;  // 2058 bytes
    for (int i = 0; i < 7; ++i) deeper += "/" + std::string(250, 'c');
    const Case cases[] = {
        {"Z:\\" + std::string(400, 'n'), false, true},
        {"Z:\\" + std::string(kShortcutTargetSize - 4, 'n'), false, true},  // 2047 bytes: fits
        {"Z:\\" + std::string(kShortcutTargetSize - 3, 'n'), false, false},
        {deep, true, true},
        {deeper, true, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.size());
        const std::string link = path("long" + std::to_string(n++) + ".lnk");
        if (c.symlink) {
            fs::create_symlink(c.target, link);
        } else {
            LinkSpec s;
            s.base = ascii(c.target);
            writeFile(link, buildLink(s));
        }
        std::memset(shortcutTarget, 'x', sizeof shortcutTarget);
        EXPECT_EQ(resolveShortcut(link.c_str()), 0);
        EXPECT_EQ(std::string(shortcutTarget), c.kept ? c.target : std::string());
        if (!c.kept) {
            EXPECT_FALSE(shortcutTargetExists());
        }
    }
}

TEST_F(ShortcutResolver, SymlinkToAFileAndToAFolder) {
    fs::create_directories(path("songs/sub"));
    writeFile(path("songs/sub/t.mp3"), ascii("ID3"));
    fs::create_symlink(path("songs/sub/t.mp3"), path("song.lnk"));
    fs::create_symlink(path("songs/sub"), path("Music.LNK"));
    EXPECT_EQ(resolveShortcut(path("song.lnk").c_str()), 0);
    EXPECT_EQ(std::string(shortcutTarget), path("songs/sub/t.mp3"));
    EXPECT_TRUE(shortcutTargetExists());
    EXPECT_FALSE(shortcutTargetIsFolder());
    EXPECT_EQ(resolveShortcut(path("Music.LNK").c_str()), 0);
    EXPECT_EQ(std::string(shortcutTarget), path("songs/sub"));
    EXPECT_TRUE(shortcutTargetIsFolder());
}

TEST_F(ShortcutResolver, RelativeSymlinkIsMadeAbsoluteAgainstItsFolder) {
    fs::create_directories(path("Songs"));
    fs::create_directories(path("Music/x"));
    fs::create_symlink("../Music/x", path("Songs/Music.lnk"));
    EXPECT_EQ(resolveShortcut(path("Songs/Music.lnk").c_str()), 0);
    EXPECT_EQ(std::string(shortcutTarget), path("Songs/../Music/x"));
    EXPECT_TRUE(shortcutTargetIsFolder());

    // A link path that is itself relative: made absolute against the
    // working directory.
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    int status = resolveShortcut("Songs/Music.lnk");
    std::string got = shortcutTarget;
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, path("Songs/../Music/x"));
}

TEST_F(ShortcutResolver, DanglingSymlinkNamesAMissingTarget) {
    fs::create_symlink(path("gone.mp3"), path("gone.lnk"));
    EXPECT_EQ(resolveShortcut(path("gone.lnk").c_str()), 0);
    EXPECT_EQ(std::string(shortcutTarget), path("gone.mp3"));
    EXPECT_FALSE(shortcutTargetExists());
    EXPECT_FALSE(shortcutTargetIsFolder());
}

TEST_F(ShortcutResolver, SymlinkWithOtherNameIsReadThrough) {
    // Not named *.lnk: the file it points at is read as a shortcut.
    fs::create_symlink(kLnkDir + "/ms_worked_example.lnk", path("alias.m4a"));
    EXPECT_EQ(resolveShortcut(path("alias.m4a").c_str()), 0);
    EXPECT_STREQ(shortcutTarget, "C:\\test\\a.txt");
}

// ========================================================== drive map ===

using DrivePath = ShortcutFixture;

TEST_F(DrivePath, ZIsTheRootByDefault) {
    std::string out;
    ASSERT_TRUE(mapPath("Z:\\usr\\lib", out));
    EXPECT_EQ(out, "/usr/lib");
    ASSERT_TRUE(mapPath("z:\\", out));
    EXPECT_EQ(out, "/");
    ASSERT_TRUE(mapPath("Z:", out));
    EXPECT_EQ(out, "/");
    ASSERT_TRUE(mapPath("Z:/a//b", out));
    EXPECT_EQ(out, "/a/b");  // empty names between separators fold away
    writeFile(path("f.mp3"), ascii("x"));
    std::string windows = "Z:" + path("f.mp3");
    std::replace(windows.begin(), windows.end(), '/', '\\');
    EXPECT_TRUE(pathExists(windows.c_str()));
    EXPECT_FALSE(pathIsFolder(windows.c_str()));
    std::string folder = "Z:" + dir_;
    std::replace(folder.begin(), folder.end(), '/', '\\');
    EXPECT_TRUE(pathIsFolder(folder.c_str()));
}

TEST_F(DrivePath, SetLetterAndUnmappedLetters) {
    std::string out;
    EXPECT_FALSE(mapPath("C:\\x", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(pathExists("C:\\"));
    ASSERT_TRUE(setDriveMapping('c', dir_ + "/"));
    ASSERT_TRUE(mapPath("C:\\Music\\a.mp3", out));
    EXPECT_EQ(out, dir_ + "/Music/a.mp3");
    EXPECT_TRUE(pathIsFolder("C:\\"));
    EXPECT_TRUE(pathIsFolder("c:"));
    EXPECT_FALSE(pathExists("C:\\Music"));
    fs::create_directory(path("Music"));
    EXPECT_TRUE(pathIsFolder("C:\\Music"));
    // An empty root removes the mapping, Z: too.
    ASSERT_TRUE(setDriveMapping('C', ""));
    EXPECT_FALSE(pathExists("C:\\"));
    ASSERT_TRUE(setDriveMapping('Z', ""));
    EXPECT_FALSE(pathExists("Z:\\"));
    EXPECT_FALSE(setDriveMapping('1', "/"));
    EXPECT_FALSE(setDriveMapping(':', "/"));
    resetDriveMappings();
    EXPECT_TRUE(pathExists("Z:\\"));
}

TEST_F(DrivePath, DotsFoldByNameAndNeverLeaveTheDriveRoot) {
    std::string out;
    ASSERT_TRUE(setDriveMapping('C', dir_));
    ASSERT_TRUE(mapPath("C:\\..\\..\\etc\\passwd", out));
    EXPECT_EQ(out, dir_ + "/etc/passwd");
    ASSERT_TRUE(mapPath("C:\\Music\\.\\Old\\..\\a.mp3", out));
    EXPECT_EQ(out, dir_ + "/Music/a.mp3");
    ASSERT_TRUE(mapPath("C:\\Music\\..", out));
    EXPECT_EQ(out, dir_);
    ASSERT_TRUE(mapPath("Z:\\..\\tmp", out));
    EXPECT_EQ(out, "/tmp");
    resetDriveMappings();
}

TEST_F(DrivePath, EnvironmentVariable) {
    fs::create_directories(path("c"));
    fs::create_directories(path("d/Songs"));
    std::string value = "C=" + path("c") + ";bad;D:=" + path("d") + ";;7=/x;Z=";
    ::setenv("KESTRO_DRIVES", value.c_str(), 1);
    resetDriveMappings();
    EXPECT_TRUE(pathIsFolder("C:\\"));
    EXPECT_TRUE(pathIsFolder("D:\\Songs"));
    EXPECT_FALSE(pathExists("Z:\\"));  // "Z=" removed the default
    EXPECT_FALSE(pathExists("E:\\"));
    // A letter set later wins over the environment until the next reset.
    ASSERT_TRUE(setDriveMapping('D', path("c")));
    EXPECT_FALSE(pathExists("D:\\Songs"));
    resetDriveMappings();
    EXPECT_TRUE(pathExists("D:\\Songs"));
}

TEST_F(DrivePath, UncEmptyAndLocalPaths) {
    std::string out;
    EXPECT_FALSE(mapPath("\\\\server\\share\\a.mp3", out));
    EXPECT_FALSE(mapPath("\\\\?\\C:\\a.mp3", out));
    EXPECT_FALSE(mapPath("", out));
    EXPECT_FALSE(mapPath(nullptr, out));
    EXPECT_FALSE(pathExists(""));
    EXPECT_FALSE(pathExists("\\\\localhost\\root"));
    // A path of this system is used as it is, backslashes included.
    ASSERT_TRUE(mapPath("/tmp/a\\b", out));
    EXPECT_EQ(out, "/tmp/a\\b");
    ASSERT_TRUE(mapPath("relative/x", out));
    EXPECT_EQ(out, "relative/x");
    EXPECT_TRUE(pathIsFolder(dir_.c_str()));
}

TEST_F(DrivePath, FolderTestFollowsSymlinks) {
    fs::create_directory(path("real"));
    fs::create_directory_symlink(path("real"), path("alias"));
    fs::create_symlink(path("nowhere"), path("dangling"));
    EXPECT_TRUE(pathIsFolder(path("alias").c_str()));
    EXPECT_FALSE(pathExists(path("dangling").c_str()));
    EXPECT_FALSE(pathIsFolder(path("dangling").c_str()));
}
