#include "monitor/devs_poll.h"

#include "platform/net/wsa_error.h"
#include "platform/text/codepage.h"
#include "platform/text/printf_text.h"
#include "platform/trace/trace.h"

#include <json/json.h>

#include <cstdio>

namespace quellis::monitor
{

namespace
{

} // namespace

PollOutcome ReadDevsReply(std::string_view received)
{
    const std::string_view text = received.substr(0, received.find('\0'));
    Json::Value root;
    bool parsed = false;
    try
    {
        // Comments allowed, any value as the root.
        Json::Reader reader(Json::Features::all());
        parsed = reader.parse(text.data(), text.data() + text.size(), root, true);
    }
    catch (const Json::Exception&)
    {
        // Nesting beyond the reader's limit is thrown: a failed parse like any other.
        parsed = false;
    }
    if (!parsed)
    {
        trace::OutputDebugString(text);
        return { PollStep::ParseFailed };
    }
    // Member look-ups go through const values: on anything but an object a
    // look-up would throw, and a missing member must not be added.
    const Json::Value& reply = root;
    if (!reply.isObject() || reply["STATUS"].isNull())
    {
        return { PollStep::NoStatus };
    }
    const Json::Value& status = reply["STATUS"];
    if (!status.isArray())
    {
        return { PollStep::StatusOther };
    }
    PollOutcome outcome { PollStep::StatusArray };
    const Json::Value& first = status[0];
    if (first.isObject() && first["Description"].isString())
    {
        outcome.description = text::DeviceTextToUtf8(first["Description"].asString());
    }
    return outcome;
}

Reaction ReactTo(const PollOutcome& outcome)
{
    switch (outcome.step)
    {
    case PollStep::ConnectFailed:
        if (outcome.error == net::kWsaConnectionRefused)
        {
            return { std::string(monitortext::kRefused), true };
        }
        if (net::IsUnansweredConnect(outcome.error))
        {
            return { std::string(monitortext::kTimedOut), true };
        }
        return { text::PrintfText(monitortext::kUnknownError, outcome.error), true };
    case PollStep::SendClosed:
        return { std::string(monitortext::kPeerClosed), true };
    case PollStep::ReceiveFailed:
        return { std::string(monitortext::kReceiveFailed), true };
    case PollStep::ParseFailed:
        return {};
    case PollStep::NoStatus:
        return { std::string(monitortext::kNoStatus), true };
    case PollStep::StatusArray:
        return { text::PrintfText(monitortext::kVersion, outcome.description.c_str()), false };
    case PollStep::StatusOther:
        return {};
    }
    return {};
}

} // namespace quellis::monitor
