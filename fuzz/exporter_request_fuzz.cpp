// The exporter's own reading of an HTTP request, on anything a client may
// send: the path and the Accept-Encoding value (the library has parsed the
// request around them), and a label value made of any bytes.
#include "exporter/http_answer.h"
#include "exporter/prometheus_text.h"
#include "fuzz/fuzz_check.h"

#include <string_view>

using namespace quellis::exporter;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The path up to the first line feed, the header value after it.
    const std::size_t split = input.find('\n');
    const std::string_view path = input.substr(0, split);
    const std::string_view acceptEncoding = split == std::string_view::npos ? input : input.substr(split + 1);

    int rendered = 0;
    const HttpAnswer answer = Answer("GET",
        path,
        acceptEncoding,
        [&]
        {
            ++rendered;
            return std::string("quellis_machines{state=\"up\"} 1\n");
        });
    Check(answer.status == 200 || answer.status == 404);
    Check((rendered == 1) == (path.substr(0, path.find('?')) == "/metrics"));
    Check(!answer.gzip || AcceptsGzip(acceptEncoding));

    // An escaped value holds no line feed and no quote that would end it.
    const std::string escaped = EscapeLabelValue(input);
    Check(escaped.find('\n') == std::string::npos);
    for (std::size_t i = 0; i < escaped.size(); ++i)
    {
        if (escaped[i] == '\\')
        {
            Check(i + 1 < escaped.size());
            ++i;
        }
        else
        {
            Check(escaped[i] != '"');
        }
    }
    return 0;
}
