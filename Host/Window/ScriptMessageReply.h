#pragma once

#include <memory>
#include <string>

#include "App/Bridge/CAPPluginCall.h"
#include "Platform/MainQueue.h"

typedef struct _WebKitScriptMessageReply WebKitScriptMessageReply;
typedef struct _JSCContext JSCContext;

namespace host {

// Answers one plugin call a page sent through the web view's script-message channel: the answer,
// a line of the stdio protocol, settles the promise the page's postMessage gave. `respond` is
// safe from any thread and hands the answer to the main queue, where WebKit must be used.
class ScriptMessageReply : public CAPCallResponder {
public:
    // Keeps a reference to both until the answer has gone.
    ScriptMessageReply(WebKitScriptMessageReply* reply, JSCContext* context,
                       std::shared_ptr<platform::MainQueue> mainQueue);
    ~ScriptMessageReply() override;
    ScriptMessageReply(const ScriptMessageReply&) = delete;
    ScriptMessageReply& operator=(const ScriptMessageReply&) = delete;

    void respond(const std::string& callbackId, CAPCallResult result) override;

private:
    struct Pending;
    std::shared_ptr<Pending> pending_;
    std::shared_ptr<platform::MainQueue> mainQueue_;
};

}  // namespace host
