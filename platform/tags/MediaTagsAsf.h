// Caps on what an ASF (WMA) header may claim, applied before TagLib reads it.
//
// TagLib's ASF reader takes the attribute count of the extended content
// description, metadata and metadata library objects as it stands and makes
// that many attributes, reading on past the end of the file: a 56-byte file
// that claims 65535 attributes cost 64 MB and 157 ms. limitAsfHeader walks
// the header as TagLib will read it (the same objects, in the same order,
// each consuming the same bytes) and rewrites, in the stream, every
// attribute count to the number of attributes that lie wholly inside the
// file, and at most kMaxAsfAttributes. After kMaxAsfObjects objects the rest
// of the file is hidden from TagLib.
#pragma once

namespace kestro::platform {

class FastFileStream;

namespace mediatags {

constexpr int kMaxAsfAttributes = 1024;  // per object; real files have tens
constexpr int kMaxAsfObjects = 1024;     // header objects, extension ones included

// True when it cut anything. Also makes the stream end at its first refused
// read: the positions that TagLib reads from are known here only while its
// reads succeed.
bool limitAsfHeader(FastFileStream& s);

}  // namespace mediatags
}  // namespace kestro::platform
