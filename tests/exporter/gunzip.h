#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace quellis::exporter
{

// A gzip body as the scraper reads it (at most 16 MiB).
inline std::string Gunzip(const std::string& data)
{
    z_stream stream {};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    std::string out(16 << 20, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

} // namespace quellis::exporter
