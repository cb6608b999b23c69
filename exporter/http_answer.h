#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// What the exporter answers to one HTTP request, apart from the server: the
// HTTP parsing is the server library's, the routing and the encoding are here.

namespace quellis::exporter
{

struct HttpAnswer
{
    unsigned status = 200;
    std::string contentType;
    std::string body;
    bool gzip = false; // the body is gzip-compressed (Content-Encoding: gzip)
};

// True when an Accept-Encoding value lets the answer be gzip-compressed:
// "gzip" or "*" among its codings, without q=0.
[[nodiscard]] bool AcceptsGzip(std::string_view acceptEncoding);

// The gzip member of a text; nothing when the compressor fails.
[[nodiscard]] std::optional<std::string> Gzip(std::string_view text);

// GET (or HEAD) /metrics: the metrics text, compressed when the client
// accepts it; GET /: a short page pointing at /metrics; any other path 404,
// any other method 405. `metrics` is called only for /metrics.
[[nodiscard]] HttpAnswer Answer(std::string_view method,
    std::string_view path,
    std::string_view acceptEncoding,
    const std::function<std::string()>& metrics);

} // namespace quellis::exporter
