// What one file may cost the tag reader: crafted hostile files read in
// bounded time and memory (and give no more than the caps allow), real files
// with large covers keep their tags, an exception inside becomes "no tags",
// and MP3 files without a VBR header get their true length by frame count.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>

#include "HostileFiles.h"
#include "library/SongTable.h"
#include "library/TagReader.h"
#include "platform/tags/MediaTags.h"
#include "plugin/PlayerState.h"
#include "TestUtil.h"

using kestro::platform::MediaTags;

namespace {

using kestro::testing::kAddressSanitizer;

constexpr long MB = 1000 * 1000;

bool run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::vector<char> slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// What one read gave, measured in a forked child (so that the peak memory
// is this file's alone, and a crash or an escaping exception shows as the
// child's end); then what readTags stored for the file, over a slot that
// held the title "Earlier".
struct ChildRead {
    bool finished = false;  // the child ended normally and reported
    bool opened = false, limited = false, hasDuration = false;
    int texts = 0;
    long peakGrowthKiB = 0;
    double seconds = 0;
    bool earlierTitleKept = false;
    std::int32_t storedDurationMs = 0;
};

long maxRssKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Reads `path` with MediaTags in a child; `prepare` runs in the child first
// (an address-space limit, for instance).
ChildRead readInChild(const std::string& path, const std::function<void()>& prepare = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (prepare) prepare();
        const long before = maxRssKiB();
        const auto t0 = std::chrono::steady_clock::now();
        ChildRead r;
        {
            MediaTags m;
            m.setXiphFormats(true);  // (only .flac, .ogg and .opus files are read so)
            r.opened = m.open(path.c_str());
            r.limited = m.limited();
            std::uint64_t d = 0;
            r.hasDuration = m.duration(d);
            std::string t;
            for (const char* name : {"Title", "Author", "WM/AlbumTitle", "WM/Year"}) r.texts += m.text(name, t);
            r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            r.peakGrowthKiB = maxRssKiB() - before;
        }
        kestro::SongEntry& e = kestro::SongTable[0];
        std::snprintf(e.path, sizeof e.path, "%s", path.c_str());
        std::strcpy(e.title, "Earlier");
        kestro::playerState.currentSong = &e;
        kestro::songCount = 0;
        kestro::playerState.ExtraFormats = 1;
        kestro::readTags();
        r.earlierTitleKept = std::strcmp(e.title, "Earlier") == 0;
        r.storedDurationMs = e.durationMs;
        r.finished = true;
        const bool ok = ::write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
        _exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    ChildRead r;
    const ssize_t n = ::read(fds[0], &r, sizeof r);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (n != static_cast<ssize_t>(sizeof r) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return r;
}

bool save(const std::string& path, const std::vector<char>& bytes) {
    return static_cast<bool>(
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

// An ID3v2.3 tag around `frames`.
std::vector<char> id3v23(const std::vector<char>& frames) {
    std::vector<char> file = {'I', 'D', '3', 3, 0, 0};
    hostile::detail::syncsafe(file, static_cast<std::uint32_t>(frames.size()));
    file.insert(file.end(), frames.begin(), frames.end());
    return file;
}

// An ID3v2.3 tag whose only frame is a compressed TIT2 that would inflate to
// 100 MiB of zeros, before two MPEG frames. The deflate data is gzip's.
bool compressedFrameMp3(const std::string& dir, const std::string& path) {
    const std::string gz = dir + "/zeros.gz";
    if (std::system(("head -c 104857600 /dev/zero | gzip -9 > '" + gz + "'").c_str()) != 0) return false;
    std::vector<char> deflate = slurp(gz);
    if (deflate.size() < 18) return false;
    deflate = std::vector<char>(deflate.begin() + 10, deflate.end() - 8);
    std::vector<char> body = {'\x78', '\xDA'};  // zlib header
    body.insert(body.end(), deflate.begin(), deflate.end());
    hostile::detail::be32(body, (104857600u % 65521u) << 16 | 1u);  // Adler-32 of zeros: a = 1, b = n
    std::vector<char> frame = {'T', 'I', 'T', '2'};
    hostile::detail::be32(frame, static_cast<std::uint32_t>(body.size() + 4));
    frame.push_back(0);
    frame.push_back('\x80');  // compressed
    hostile::detail::be32(frame, 104857600u);
    frame.insert(frame.end(), body.begin(), body.end());
    std::vector<char> file = id3v23(frame);
    for (int f = 0; f < 2; ++f) {
        std::vector<char> mp3(417, 0);
        mp3[0] = '\xFF', mp3[1] = '\xFB', mp3[2] = '\x90';
        file.insert(file.end(), mp3.begin(), mp3.end());
    }
    return save(path, file);
}

// A FLAC file: STREAMINFO (10 s at 44.1 kHz), `blocks` blocks of `type` and
// `length` (not written: a hole), then a Vorbis comment "TITLE=Deep".
bool flacWithBlocks(const std::string& path, int blocks, char type, std::uint32_t length) {
    std::vector<char> head = {'f', 'L', 'a', 'C', 0, 0, 0, 34};
    std::vector<char> info(34, 0);
    info[10] = '\x0A', info[11] = '\xC4', info[12] = 0x40;  // 44100 Hz
    info[15] = '\x06', info[16] = '\xBA', info[17] = '\xA8';  // 441000 samples
    head.insert(head.end(), info.begin(), info.end());
    std::ofstream out(path, std::ios::binary);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    for (int i = 0; i < blocks; ++i) {
        const char h[4] = {type, static_cast<char>(length >> 16), static_cast<char>(length >> 8), static_cast<char>(length)};
        out.write(h, 4);
        out.seekp(length, std::ios::cur);
    }
    const char comment[] = "\x84\0\0\x16\0\0\0\0\x01\0\0\0\x0A\0\0\0TITLE=Deep";
    out.write(comment, sizeof comment - 1);
    return static_cast<bool>(out);
}

// An Ogg Vorbis stream whose comment packet holds a `pictureBytes` picture
// field before "TITLE=Deep", over as many pages as it needs.
bool oggWithBigComment(const std::string& path, std::uint32_t pictureBytes) {
    std::ofstream out(path, std::ios::binary);
    // A page of stream 1 (no sequence numbers, no checksums: not read).
    auto page = [&](const std::string& payload, char type, bool ends) {
        const std::size_t full = payload.size() / 255;
        out << std::string("OggS\0", 5) << type << std::string(8, '\0') << std::string("\x01\0\0\0\0\0\0\0\0\0\0\0", 12)
            << static_cast<char>(full + ends) << std::string(full, '\xFF');
        if (ends) out << static_cast<char>(payload.size() % 255);
        out << payload;
    };
    page(std::string("\x01vorbis\0\0\0\0\x02\x44\xAC\0\0", 16) + std::string(14, '\0'), 2, true);
    std::string c("\x03vorbis\0\0\0\0\x02\0\0\0", 15);
    for (int i = 0; i < 4; ++i) c += static_cast<char>(pictureBytes >> (8 * i));
    c += "METADATA_BLOCK_PICTURE=" + std::string(pictureBytes - 23, 'A') + std::string("\x0A\0\0\0TITLE=Deep", 14);
    for (std::size_t at = 0; at < c.size(); at += 255 * 255)  // full pages continue on the next
        page(c.substr(at, 255 * 255), at ? 1 : 0, c.size() - at < 255 * 255);
    return static_cast<bool>(out);
}

// ---------------------------------------------------------------------------
// Hostile files: bounded time and memory, no more read than the caps allow.

TEST(MediaTagsLimits, HostileFilesReadInBoundedTimeAndMemory) {
    kestro::testing::TempDir dir;
    struct Row {
        const char* name;
        std::function<bool(const std::string&)> make;
        bool limited;  // a budget or cap of the reader acts on it
        int texts = 0;
    };
    const std::vector<Row> rows = {
        // No frame nor tag near the start (a 2 GB hole): not taken for MPEG.
        {"sparse.mp3", [](const std::string& p) { return hostile::sparse(p, 2000 * MB); }, false},
        // Random bytes have false frame syncs everywhere.
        {"random.mp3", [](const std::string& p) { return hostile::random(p, 16 * MB); }, false},
        // Under the read budget: the frame cap acts. Over it: the tag is refused.
        {"txxx-4MB.mp3", [](const std::string& p) { return hostile::txxxFlood(p, 4 * MB); }, true},
        {"txxx-10MB.mp3", [](const std::string& p) { return hostile::txxxFlood(p, 10 * MB); }, true},
        // 7 MB of 60 KB titles: the first is the title, the rest stay unparsed.
        {"titles-7MB.mp3", [](const std::string& p) { return hostile::titleFlood(p, 7 * MB); }, false, 1},
        {"free-atoms.m4a", [](const std::string& p) { return hostile::mp4FreeAtoms(p, 10 * MB); }, true},
        {"title-data-atoms.m4a", [](const std::string& p) { return hostile::mp4ItemFlood(p, 7 * MB, false); }, true},
        {"cover-data-atoms.m4a", [](const std::string& p) { return hostile::mp4ItemFlood(p, 7 * MB, true); }, true},
        {"empty-chunks.wav", [](const std::string& p) { return hostile::riffEmptyChunks(p, 10 * MB, false); }, true},
        {"empty-chunks.aif", [](const std::string& p) { return hostile::riffEmptyChunks(p, 10 * MB, true); }, true},
        {"attributes.wma", [](const std::string& p) { return hostile::asfAttributeClaim(p); }, true},
        // Header-extension objects whose sizes add up past 2^63 (found by
        // the fuzzer; the sanitizer build is where it shows).
        {"asf-extension-sizes.wma",
         [](const std::string& p) { return std::filesystem::copy_file(KESTRO_TESTDATA_DIR "/tags/asf-extension-sizes.wma", p); }, false},
        {"info-fields.wav", [](const std::string& p) { return hostile::infoFlood(p, 4 * MB); }, true},
        {"ape-items.mp3", [](const std::string& p) { return hostile::apeFlood(p, 4 * MB); }, true},
        {"compressed-frame.mp3", [&](const std::string& p) { return compressedFrameMp3(dir.path(), p); }, false},
        // Picture blocks that announce 16 MiB each are stepped over, never
        // read; a comment behind them is found. More blocks than the cap:
        // the walk ends there.
        {"pictures.flac", [](const std::string& p) { return flacWithBlocks(p, 8, 6, 0xFFFFFF); }, false, 1},
        {"blocks.flac", [](const std::string& p) { return flacWithBlocks(p, 300, 1, 0); }, true},
        // A 15 MiB picture inside an Ogg comment is stepped over too.
        {"picture-comment.ogg", [](const std::string& p) { return oggWithBigComment(p, 15 * MB); }, false, 1},
        // Frames we do not read cost little: under the frame cap, a title
        // after 2000 of them is found.
        {"title-after-2000-frames.mp3",
         [](const std::string& p) {
             std::vector<char> body;
             for (int i = 0; i < 2000; ++i) body.insert(body.end(), {'T', 'X', 'X', 'X', 0, 0, 0, 3, 0, 0, 0, 'k', 0});
             body.insert(body.end(), {'T', 'I', 'T', '2', 0, 0, 0, 6, 0, 0, 0, 'D', 'e', 'e', 'p', '!'});
             return save(p, id3v23(body));
         },
         false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir / row.name;
        ASSERT_TRUE(row.make(path));
        const ChildRead r = readInChild(path);
        ::unlink(path.c_str());
        ASSERT_TRUE(r.finished) << "the reader crashed or let an exception out";
        EXPECT_EQ(r.texts, row.texts);
        EXPECT_EQ(r.limited, row.limited);
        // The whole tag reader stores what was read, nothing more.
        EXPECT_EQ(r.earlierTitleKept, row.texts == 0);
        if (!r.hasDuration) {
            EXPECT_EQ(r.storedDurationMs, 1000);
        }
        // "No hang" (each takes milliseconds: bench/tools/hostile_bench.cpp).
        EXPECT_LT(r.seconds, 10.0);
        if (!kAddressSanitizer) {  // (its allocator keeps freed memory)
            EXPECT_LT(r.peakGrowthKiB, 64 * 1024);
        }
    }
}

// ---------------------------------------------------------------------------
// Real files that are large for a reason keep their tags, unless memory runs
// out.

// 5 MB of pseudo-random bytes (with their false frame syncs).
TagLib::ByteVector bigPicture() {
    TagLib::ByteVector img(5 * 1000 * 1000, '\0');
    std::uint32_t x = 7;
    for (unsigned i = 0; i < img.size(); ++i) {
        x = x * 1103515245u + 12345u;
        img[i] = static_cast<char>(x >> 24);
    }
    return img;
}

void setTexts(TagLib::Tag* t) {
    t->setTitle("Cover Title");
    t->setArtist("Cover Artist");
    t->setAlbum("Cover Album");
    t->setYear(2011);
}

TEST(MediaTagsLimits, FilesWithAFiveMegabyteCoverKeepTheirTagsUnlessMemoryRunsOut) {
    kestro::testing::TempDir files;
    const std::string d = "'" + files.path() + "/", ff = "ffmpeg -nostdin -v error -y -i " + d + "base.wav' ";
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + d + "base.wav' synth 1.5 sine 440 vol 0.5") &&
                run("lame --quiet -b 128 " + d + "base.wav' " + d + "cover.mp3'") &&
                run(ff + "-c:a aac -b:a 64k " + d + "cover.m4a'") && run(ff + "-c:a wmav2 -b:a 64k " + d + "cover.wma'"))
        << "sox, lame or ffmpeg failed";
    {
        TagLib::MPEG::File f((files / "cover.mp3").c_str());
        setTexts(f.ID3v2Tag(true));
        auto* pic = new TagLib::ID3v2::AttachedPictureFrame;
        pic->setMimeType("image/jpeg");
        pic->setPicture(bigPicture());
        f.ID3v2Tag()->addFrame(pic);
        ASSERT_TRUE(f.save(TagLib::MPEG::File::ID3v2));
    }
    // An allocation that fails inside the reader (here under an address-space
    // limit) becomes "nothing read", for MediaTags and for readTags, instead
    // of an exception that ends the process.
    if (!kAddressSanitizer) {
        // Room for what is mapped now (the allocator's free memory given
        // back first) and 2 MB more: the 5 MB tag cannot be had. Not under
        // ASan, whose allocator such a limit defeats.
        const auto limitMemory = [] {
            ::malloc_trim(0);
            long pages = 0;
            if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
                std::fclose(f);
            }
            const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + 2 * MB;
            struct rlimit rl = {limit, limit};
            ::setrlimit(RLIMIT_AS, &rl);
        };
        const ChildRead r = readInChild(files / "cover.mp3", limitMemory);
        ASSERT_TRUE(r.finished) << "an exception left the reader";
        EXPECT_FALSE(r.opened);
        EXPECT_TRUE(r.limited);
        EXPECT_EQ(r.texts, 0);
        EXPECT_TRUE(r.earlierTitleKept);
        EXPECT_EQ(r.storedDurationMs, 1000);
    }
    const TagLib::ByteVector img = bigPicture();
    {
        TagLib::MP4::File f((files / "cover.m4a").c_str());
        setTexts(f.tag());
        f.tag()->setItem("covr", TagLib::MP4::CoverArtList().append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::JPEG, img)));
        ASSERT_TRUE(f.save());
    }
    {
        TagLib::ASF::File f((files / "cover.wma").c_str());
        setTexts(f.tag());
        f.tag()->setAttribute("WM/Year", TagLib::ASF::Attribute(TagLib::String("2011")));
        TagLib::ASF::Picture pic;
        pic.setMimeType("image/jpeg");
        pic.setType(TagLib::ASF::Picture::FrontCover);
        pic.setPicture(img);
        f.tag()->setAttribute("WM/Picture", TagLib::ASF::Attribute(pic));
        ASSERT_TRUE(f.save());
    }
    for (const char* name : {"cover.mp3", "cover.m4a", "cover.wma"}) {
        SCOPED_TRACE(name);
        struct stat st;
        ASSERT_EQ(::stat((files / name).c_str(), &st), 0);
        ASSERT_GT(st.st_size, 5 * MB);  // the cover is in
        MediaTags m;
        ASSERT_TRUE(m.open((files / name).c_str()));
        EXPECT_FALSE(m.limited());
        for (const auto& [key, value] : {std::pair{"Title", "Cover Title"}, std::pair{"Author", "Cover Artist"},
                                         std::pair{"WM/AlbumTitle", "Cover Album"}, std::pair{"WM/Year", "2011"}}) {
            std::string t;
            EXPECT_TRUE(m.text(key, t)) << key;
            EXPECT_EQ(t, value);
        }
        std::uint64_t d = 0;
        ASSERT_TRUE(m.duration(d));
        EXPECT_NEAR(static_cast<double>(d) / 1e7, 1.5, 0.2);
    }
}

// ---------------------------------------------------------------------------
// MP3 length: a file without a Xing/Info or VBRI header is timed by its
// frames.

TEST(MediaTagsMp3Length, WithinOneSecondWithoutAVbrHeader) {
    kestro::testing::TempDir dir;
    const std::string d = "'" + dir.path() + "/";
    // 10 s of silence, then 50 s of noise: a VBR encoder gives the first
    // frames its lowest bitrate, so the first frame says nothing of the mean.
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + d + "quiet.wav' trim 0 10"));
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + d + "loud.wav' synth 50 pinknoise vol 0.5"));
    ASSERT_TRUE(run("sox " + d + "quiet.wav' " + d + "loud.wav' " + d + "song.wav'"));
    // MPEG-1 and MPEG-2 (whose frames hold half as many samples).
    for (const char* options : {"-V 2", "-V 5 -m m --resample 22.05"}) {
        SCOPED_TRACE(options);
        ASSERT_TRUE(run(std::string("lame --quiet -t ") + options + " " + d + "song.wav' " + d + "song.mp3'"));
        MediaTags m;
        ASSERT_TRUE(m.open((dir / "song.mp3").c_str()));
        std::uint64_t d100ns = 0;
        ASSERT_TRUE(m.duration(d100ns));
        EXPECT_NEAR(static_cast<double>(d100ns) / 1e7, 60.0, 1.0);
    }
}

// A stream longer than the counter's budget (16 MiB) is counted in part and
// estimated for the rest from pieces spread over it: within 1 % of its
// length even when its bitrate changes after the part counted from the
// start. MPEG-1 layer III frames at 44.1 kHz: 128 kbit/s ones of 417 or 418
// bytes, 320 kbit/s ones of 1044 or 1045.
TEST(MediaTagsMp3Length, LongerThanTheCountBudgetIsEstimated) {
    struct Row {
        const char* name;
        long lowBytes, highBytes;  // 128 kbit/s first, then 320 kbit/s
    };
    const Row rows[] = {
        {"40 MiB at 128 kbit/s", 40L << 20, 0},
        {"10 MiB at 128, then 30 MiB at 320 kbit/s", 10L << 20, 30L << 20},
        {"15 MiB at 320 kbit/s (counted whole)", 0, 15L << 20},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<char> file;
        file.reserve(static_cast<std::size_t>(row.lowBytes + row.highBytes + 2048));
        std::size_t frames = 0;
        for (const auto& [bytes, index, length] : {std::tuple<long, int, int>{row.lowBytes, 0x9, 417},
                                                   std::tuple<long, int, int>{row.highBytes, 0xE, 1044}}) {
            for (long made = 0; made < bytes; ++frames) {
                const bool padded = frames % 3 == 0;  // as an encoder adds a byte now and then
                const std::size_t at = file.size();
                file.resize(at + static_cast<std::size_t>(length + (padded ? 1 : 0)), 0);
                file[at] = '\xFF';
                file[at + 1] = '\xFB';
                file[at + 2] = static_cast<char>(index << 4 | (padded ? 2 : 0));
                made += length + (padded ? 1 : 0);
            }
        }
        MediaTags m;
        ASSERT_TRUE(m.openMemory(file.data(), file.size(), "long.mp3"));
        std::uint64_t d = 0;
        ASSERT_TRUE(m.duration(d));
        const double expected = static_cast<double>(frames) * 1152.0 / 44100.0;
        EXPECT_NEAR(static_cast<double>(d) / 1e7, expected, expected / 100);
        if (row.lowBytes + row.highBytes <= (16L << 20)) {
            EXPECT_NEAR(static_cast<double>(d) / 1e7, expected, 0.001);
        }
    }
}

}  // namespace

// What the song device serves libmpv of a file: its pieces in order, with
// the masked bytes (an item's type or size, in file offsets) replaced.
// Read in steps of any size, from any piece's middle, the served bytes come
// out whole and in order, a mask that a step cuts included.
TEST(SongFileViewRead, ServesThePiecesWithTheirMasksInStepsOfAnySize) {
    kestro::testing::TempDir dir;
    std::string content(300, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
    const std::string path = dir / "song.bin";
    kestro::testing::writeFile(path, content);
    kestro::platform::SongFileView v;
    v.pieces[0] = {0, 24};
    v.pieces[1] = {100, 300};
    v.pieceCount = 2;
    v.masks[0] = {4, {'\0', '\0', '\0', '\x18'}};
    v.masks[1] = {150, {'f', 'r', 'e', 'e'}};
    v.masks[2] = {298, {'J', 'U', 'N', 'K'}};  // its last two bytes lie past the end
    v.maskCount = 3;
    std::string served = content.substr(0, 24) + content.substr(100);
    served.replace(4, 4, std::string("\0\0\0\x18", 4));
    served.replace(24 + 50, 4, "free");
    served.replace(24 + 198, 2, "JU");
    ASSERT_EQ(v.size(), static_cast<off_t>(served.size()));
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (const long step : {1L, 3L, 7L, 64L, 1000L}) {
        for (const off_t start : {off_t{0}, off_t{5}, off_t{23}, off_t{72}, off_t{221}}) {
            SCOPED_TRACE(std::to_string(step) + " from " + std::to_string(start));
            std::string got;
            char buf[1000];
            for (long n; (n = v.read(fd, start + static_cast<off_t>(got.size()), buf, step)) > 0;) got.append(buf, n);
            EXPECT_EQ(got, served.substr(static_cast<std::size_t>(start)));
        }
    }
    char byte;
    EXPECT_EQ(v.read(fd, v.size(), &byte, 1), 0);
    ::close(fd);
}
