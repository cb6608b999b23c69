#include "exporter/http_answer.h"

#include "exporter/prometheus_text.h"

#include <zlib.h>

#include <cctype>

namespace quellis::exporter
{

namespace
{

constexpr std::string_view kIndexPage = "<!DOCTYPE html>\n<html><head><title>Quellis exporter</title></head>\n"
                                        "<body><h1>Quellis exporter</h1>\n"
                                        "<p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
        {
            return false;
        }
    }
    return true;
}

// "q=0", "q=0.", "q=0.000": the coding is refused.
bool IsZeroWeight(std::string_view parameter)
{
    parameter = Trim(parameter);
    if (parameter.size() < 3 || (parameter[0] != 'q' && parameter[0] != 'Q') || parameter[1] != '=')
    {
        return false;
    }
    const std::string_view value = parameter.substr(2);
    if (value[0] != '0')
    {
        return false;
    }
    for (const char c : value.substr(1))
    {
        if (c != '.' && c != '0')
        {
            return false;
        }
    }
    return true;
}

} // namespace

bool AcceptsGzip(std::string_view acceptEncoding)
{
    while (!acceptEncoding.empty())
    {
        const std::size_t comma = acceptEncoding.find(',');
        std::string_view item = acceptEncoding.substr(0, comma);
        acceptEncoding = comma == std::string_view::npos ? std::string_view {} : acceptEncoding.substr(comma + 1);
        const std::size_t semicolon = item.find(';');
        const std::string_view coding = Trim(item.substr(0, semicolon));
        if (!EqualsNoCase(coding, "gzip") && coding != "*")
        {
            continue;
        }
        bool refused = false;
        for (std::string_view rest
             = semicolon == std::string_view::npos ? std::string_view {} : item.substr(semicolon + 1);
             !rest.empty();)
        {
            const std::size_t next = rest.find(';');
            refused = refused || IsZeroWeight(rest.substr(0, next));
            rest = next == std::string_view::npos ? std::string_view {} : rest.substr(next + 1);
        }
        if (!refused)
        {
            return true;
        }
    }
    return false;
}

std::optional<std::string> Gzip(std::string_view text)
{
    z_stream stream {};
    // 15 window bits + 16: a gzip header and trailer around the deflate data.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    {
        return std::nullopt;
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
    {
        return std::nullopt;
    }
    return out;
}

HttpAnswer Answer(std::string_view method,
    std::string_view path,
    std::string_view acceptEncoding,
    const std::function<std::string()>& metrics)
{
    HttpAnswer answer;
    answer.contentType = "text/plain; charset=utf-8";
    if (method != "GET" && method != "HEAD")
    {
        answer.status = 405;
        answer.body = "Method not allowed\n";
        return answer;
    }
    const std::string_view route = path.substr(0, path.find('?'));
    if (route == "/")
    {
        answer.contentType = "text/html; charset=utf-8";
        answer.body = kIndexPage;
        return answer;
    }
    if (route != "/metrics")
    {
        answer.status = 404;
        answer.body = "Not found\n";
        return answer;
    }
    answer.contentType = kMetricsContentType;
    answer.body = metrics();
    if (AcceptsGzip(acceptEncoding))
    {
        if (std::optional<std::string> compressed = Gzip(answer.body))
        {
            answer.body = std::move(*compressed);
            answer.gzip = true;
        }
    }
    return answer;
}

} // namespace quellis::exporter
