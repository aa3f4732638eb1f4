#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "Host/Core/RequestRouter.h"
#include "Host/Web/HttpSession.h"

namespace host {

// One call whose payload is the body of a POST to /bridge, its JSON text percent-encoded in the
// query as `call`: `POST /bridge?call={"id":1,...}`. Besides the login and Host rules, the page's
// own Origin is required, so that no other site can post into the store. The body goes to a
// staged file as it arrives, never held whole, and the call then takes the path of every other;
// the answer's body is the call's answer as a WebSocket message carries it. The connection ends
// with the answer. Runs on the server's network thread, but for `respond`, which is safe from any
// thread and hands the answer to it.
class UploadRequest : public CAPCallResponder, public std::enable_shared_from_this<UploadRequest> {
public:
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

    // Whether a request whose header has been read is one of these; its body is still unread.
    static bool takes(const Parser& parser, const WebServerSettings& settings);

    // `buffer` holds what was read past the header: the body's start. The header is taken out of
    // `parser`.
    UploadRequest(boost::beast::tcp_stream stream, boost::beast::flat_buffer buffer, Parser& parser,
                  std::shared_ptr<const WebServerSettings> settings, ConnectionSlot slot);

    void run();

    void respond(const std::string& callbackId, CAPCallResult result) override;

private:
    using Header = boost::beast::http::request<boost::beast::http::string_body>;

    // Why the request is not taken, before a byte of its body is.
    std::optional<std::pair<boost::beast::http::status, std::string_view>> refusal() const;
    void refuse(boost::beast::http::status status, std::string_view text);
    // Stages what is buffered, then reads the rest of the body.
    void stageBuffered();
    void readBody();
    bool stage(std::string_view bytes);
    void deliver();
    void write(boost::beast::http::status status, std::string_view contentType, std::string body);
    // Reads what the client still sends after a refusal, for a while, so that it sees the
    // refusal rather than a reset connection.
    void discard();

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<std::uint64_t> contentLength_;
    Header request_;
    std::shared_ptr<const WebServerSettings> settings_;
    ConnectionSlot slot_;
    std::unique_ptr<platform::StagedFile> staged_;
    std::uint64_t remaining_ = 0;
    std::string chunk_;
    bool answered_ = false;
};

}  // namespace host
