#pragma once

#include "engine/reply_backend.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <memory>

class LlamaServer;
class ServerHttp;

// Replies from a llama-server kept running here with the selected model: one
// streamed POST /completion per reply with the transcript as its prompt and
// cache_prompt on, so that the server reuses what it computed for the
// earlier turns. A reply waits while the server starts or loads, and starts
// it again when it stopped for being idle or died (once per reply). A stop
// aborts the request, or the wait. When the server fails, its last lines of
// standard error are the reason shown.
class LocalServerReplyBackend : public ReplyBackend {
public:
    static constexpr const char *kEngineName = "llama-server";

    // The server is held weakly: once its owner lets it go, replies fail.
    explicit LocalServerReplyBackend(std::weak_ptr<LlamaServer> server);
    ~LocalServerReplyBackend() override;
    ReplyRun run(const ReplyJob &job, ReplyControl &control) override;

private:
    std::weak_ptr<LlamaServer> m_server;
    std::unique_ptr<ServerHttp> m_http;
};

// A server elsewhere that makes the replies.
struct RemoteServerConfig {
    QUrl baseUrl;      // as remoteserver::parseBaseUrl gives it; empty when none is set up
    QString modelId;   // one of its /v1/models
    QByteArray apiKey; // sent as a bearer key when not empty

    friend bool operator==(const RemoteServerConfig &, const RemoteServerConfig &) = default;
};

// Replies from a server elsewhere through the OpenAI-style
// POST <base>/v1/completions with "stream": true and the transcript as its
// prompt; it needs no local model. The figures name the server's address as
// the engine and its model.
class RemoteReplyBackend : public ReplyBackend {
public:
    explicit RemoteReplyBackend(RemoteServerConfig config);
    ~RemoteReplyBackend() override;
    ReplyRun run(const ReplyJob &job, ReplyControl &control) override;
    bool needsLocalModel() const override { return false; }
    const RemoteServerConfig &config() const { return m_config; }

private:
    RemoteServerConfig m_config;
    std::unique_ptr<ServerHttp> m_http;
};
