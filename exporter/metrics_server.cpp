#include "exporter/metrics_server.h"

#include "exporter/http_answer.h"
#include "platform/net/socket.h"
#include "platform/net/wsa_error.h"

#include <microhttpd.h>

namespace quellis::exporter
{

namespace
{

// Runs on one of the server's threads, once the request's head has arrived.
MHD_Result OnRequest(void* server,
    MHD_Connection* connection,
    const char* url,
    const char* method,
    const char* /*version*/,
    const char* /*uploadData*/,
    std::size_t* uploadSize,
    void** requestState)
{
    // A body is neither expected nor read: the answer goes out at once and
    // the library drops the rest of the request.
    *uploadSize = 0;
    *requestState = nullptr;
    const char* acceptEncoding = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Accept-Encoding");
    const HttpAnswer answer = Answer(method,
        url,
        acceptEncoding != nullptr ? acceptEncoding : "",
        static_cast<const MetricsServer*>(server)->Metrics());
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
    {
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", answer.contentType.c_str());
    MHD_add_response_header(response, "Vary", "Accept-Encoding");
    if (answer.gzip)
    {
        MHD_add_response_header(response, "Content-Encoding", "gzip");
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

MetricsServer::MetricsServer(ServerOptions options, std::function<std::string()> metrics)
    : options_(options)
    , metrics_(std::move(metrics))
{
}

MetricsServer::~MetricsServer()
{
    Stop();
}

bool MetricsServer::Start(std::string* error)
{
    const std::string where = net::FormatIpv4(options_.listen.address) + ":" + std::to_string(options_.listen.port);
    net::Socket listener = net::Socket::Create(net::SocketKind::Tcp);
    if (!listener.IsValid() || !listener.SetReuseAddress(true) || !listener.Bind(options_.listen)
        || !listener.Listen(64) || !listener.SetBlocking(false))
    {
        *error = "cannot listen on " + where + " (error " + std::to_string(net::WsaGetLastError()) + ")";
        return false;
    }
    port_ = listener.LocalEndpoint().value_or(options_.listen).port;
    const int handle = listener.Release();
    daemon_ = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD,
        0,
        nullptr,
        nullptr,
        &OnRequest,
        this,
        MHD_OPTION_LISTEN_SOCKET,
        handle,
        MHD_OPTION_THREAD_POOL_SIZE,
        options_.threads,
        MHD_OPTION_CONNECTION_LIMIT,
        options_.connections,
        MHD_OPTION_CONNECTION_TIMEOUT,
        options_.idleSeconds,
        MHD_OPTION_END);
    if (daemon_ == nullptr)
    {
        net::Socket(handle).Close();
        *error = "cannot serve HTTP on " + where;
        return false;
    }
    return true;
}

void MetricsServer::Stop()
{
    if (daemon_ != nullptr)
    {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

} // namespace quellis::exporter
