#include "cli/monitor_lines.h"

#include <ctime>

namespace quellis::cli
{

namespace
{

std::string OrDash(const std::string& text)
{
    return text.empty() ? std::string("-") : text;
}

// A machine's text on one line of a terminal: line breaks and control
// characters (a terminal's escapes among them) become blanks.
std::string OneLine(std::string_view text)
{
    std::string line(text);
    for (char& c : line)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
        {
            c = ' ';
        }
    }
    return line;
}

} // namespace

std::string MonitorHeader(Format format)
{
    return format == Format::Csv ? "time,ip,mac,event,failure,text\n" : std::string();
}

std::string FormatMonitorLine(const MonitorLine& line, Format format)
{
    switch (format)
    {
    case Format::Json:
        return "{\"time\":" + JsonString(line.time) + ",\"ip\":" + JsonString(line.ip)
            + ",\"mac\":" + JsonString(line.mac) + ",\"event\":" + JsonString(line.event)
            + ",\"failure\":" + (line.failure ? "true" : "false") + ",\"text\":" + JsonString(line.text) + "}\n";
    case Format::Csv:
        return CsvField(line.time) + "," + CsvField(line.ip) + "," + CsvField(line.mac) + "," + CsvField(line.event)
            + "," + (line.failure ? "1" : "0") + "," + CsvField(line.text) + "\n";
    case Format::Table:
        break;
    }
    std::string out = line.time + " " + OrDash(line.ip) + " " + OrDash(line.mac);
    // The log pane's own lines stand for their event; others name it.
    const std::string& what = line.text.empty() ? line.event : line.text;
    if (!what.empty())
    {
        out += " " + what;
    }
    return OneLine(out) + "\n";
}

std::string LocalTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace quellis::cli
