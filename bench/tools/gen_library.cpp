// Builds a synthetic song library for the scan benchmark: COUNT songs in
// nested folders (Songs/Artist NNN/Album NN/NN Title.ext), each a copy of one
// of the seed files (made by real encoders) with its tags rewritten by
// TagLib in memory. Deterministic: the same seeds and COUNT give the same
// files.
//
//   gen_library SEED_DIR SONGS_DIR COUNT
//
// SEED_DIR holds seed1.mp3 … seedN.mp3 and the same for wma, m4a, wav, aif,
// au (any number of each, at least one mp3). Formats are given per album:
// about 70 % mp3 (one album in ten with a 24 KiB cover picture), 10 % m4a,
// 8 % wma, 5 % wav, 4 % aif, 3 % au.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <taglib/asffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/wavfile.h>
#include <taglib/aifffile.h>

namespace fs = std::filesystem;

namespace {

std::uint32_t rng = 20240601;
std::uint32_t next() {
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return rng;
}

std::vector<char> readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

const char* const kWords[] = {"Blue", "Night", "River", "Echo", "Golden", "Road", "Summer", "Rain",
                              "Fire", "Glass", "Heart", "Wild", "Silver", "Moon", "City", "Dream",
                              "Stone", "Light", "Ocean", "Ghost", "Velvet", "Électrique", "Señor",
                              "Nacht", "Ångström", "Café", "Ünter", "Jalapeño"};

std::string words(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += kWords[next() % (sizeof kWords / sizeof *kWords)];
    }
    return s;
}

struct Tags {
    std::string title, artist, album;
    unsigned year;
};

void setTags(TagLib::Tag* t, const Tags& g) {
    t->setTitle(TagLib::String(g.title, TagLib::String::UTF8));
    t->setArtist(TagLib::String(g.artist, TagLib::String::UTF8));
    t->setAlbum(TagLib::String(g.album, TagLib::String::UTF8));
    t->setYear(g.year);
}

TagLib::ByteVector retag(const std::string& ext, const std::vector<char>& seed, const Tags& g,
                         bool picture) {
    TagLib::ByteVector data(seed.data(), static_cast<unsigned>(seed.size()));
    TagLib::ByteVectorStream s(data);
    if (ext == "mp3") {
        TagLib::MPEG::File f(&s, TagLib::ID3v2::FrameFactory::instance());
        setTags(f.tag(), g);
        if (picture) {
            auto* pic = new TagLib::ID3v2::AttachedPictureFrame;
            pic->setMimeType("image/jpeg");
            pic->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
            TagLib::ByteVector img(24 * 1024, '\0');
            for (unsigned i = 0; i < img.size(); ++i) img[i] = static_cast<char>(next() >> 24);
            pic->setPicture(img);
            f.ID3v2Tag(true)->addFrame(pic);
        }
        f.save(TagLib::MPEG::File::AllTags, TagLib::File::StripOthers, TagLib::ID3v2::v4);
    } else if (ext == "wma") {
        TagLib::ASF::File f(&s);
        setTags(f.tag(), g);
        f.save();
    } else if (ext == "m4a") {
        TagLib::MP4::File f(&s);
        setTags(f.tag(), g);
        f.save();
    } else if (ext == "wav") {
        TagLib::RIFF::WAV::File f(&s);
        setTags(f.ID3v2Tag(), g);
        setTags(f.InfoTag(), g);
        f.save();
    } else if (ext == "aif") {
        TagLib::RIFF::AIFF::File f(&s);
        setTags(f.tag(), g);
        f.save();
    }  // au: no tags, a plain copy
    return *s.data();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SEED_DIR SONGS_DIR COUNT\n", argv[0]);
        return 2;
    }
    const fs::path seedDir = argv[1];
    const fs::path songs = argv[2];
    const int count = std::atoi(argv[3]);

    std::map<std::string, std::vector<std::vector<char>>> seeds;
    for (const char* ext : {"mp3", "wma", "m4a", "wav", "aif", "au"}) {
        for (int i = 1;; ++i) {
            fs::path p = seedDir / ("seed" + std::to_string(i) + "." + ext);
            if (!fs::exists(p)) break;
            seeds[ext].push_back(readAll(p));
        }
    }
    if (seeds["mp3"].empty()) {
        std::fprintf(stderr, "no seed1.mp3 in %s\n", argv[1]);
        return 1;
    }

    int made = 0;
    for (int artist = 1; made < count; ++artist) {
        const std::string artistName = words(2);
        const fs::path artistDir = songs / (std::to_string(1000 + artist).substr(1) + " " + artistName);
        const int albums = 3 + static_cast<int>(next() % 5);
        for (int album = 1; album <= albums && made < count; ++album) {
            const unsigned r = next() % 100;
            std::string ext = r < 70 ? "mp3" : r < 80 ? "m4a" : r < 88 ? "wma" : r < 93 ? "wav"
                              : r < 97 ? "aif" : "au";
            if (seeds[ext].empty()) ext = "mp3";
            const bool picture = ext == "mp3" && next() % 10 == 0;
            const std::string albumName = words(1 + static_cast<int>(next() % 3));
            const unsigned year = 1960 + next() % 64;
            const fs::path albumDir =
                artistDir / ("Album " + std::to_string(100 + album).substr(1) + " " + albumName);
            fs::create_directories(albumDir);
            const int tracks = 8 + static_cast<int>(next() % 13);
            for (int track = 1; track <= tracks && made < count; ++track) {
                Tags g{words(1 + static_cast<int>(next() % 5)), artistName, albumName, year};
                const auto& pool = seeds[ext];
                const auto& seed = pool[next() % pool.size()];
                TagLib::ByteVector out = retag(ext, seed, g, picture);
                const fs::path file =
                    albumDir / (std::to_string(100 + track).substr(1) + " " + g.title + "." + ext);
                std::ofstream(file, std::ios::binary).write(out.data(), out.size());
                ++made;
            }
        }
    }
    std::printf("%d songs in %s\n", made, argv[2]);
    return 0;
}
