#include "Host/Window/ScriptMessageReply.h"

#include <webkit/webkit.h>

#include "Host/Core/MessageLine.h"
#include "Host/Window/GObjectPtr.h"

namespace host {

// The page's side of the call; released on the main queue, by the answer that settles it.
struct ScriptMessageReply::Pending {
    Pending(WebKitScriptMessageReply* pageReply, JSCContext* pageContext)
        : reply(webkit_script_message_reply_ref(pageReply)), context(referenced(pageContext)) {}
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    ~Pending() { webkit_script_message_reply_unref(reply); }

    WebKitScriptMessageReply* reply;
    GObjectPtr<JSCContext> context;
};

ScriptMessageReply::ScriptMessageReply(WebKitScriptMessageReply* reply, JSCContext* context,
                                       std::shared_ptr<platform::MainQueue> mainQueue)
    : pending_(std::make_shared<Pending>(reply, context)), mainQueue_(std::move(mainQueue)) {}

ScriptMessageReply::~ScriptMessageReply() {
    if (pending_) {
        // Never answered (the host is quitting): let go of WebKit's objects where they live.
        mainQueue_->async([pending = std::move(pending_)] {});
    }
}

void ScriptMessageReply::respond(const std::string& callbackId, CAPCallResult result) {
    if (!pending_) {
        return;
    }
    auto text = std::make_shared<std::string>(MessageLine::answerText(callbackId, result));
    mainQueue_->async([pending = std::move(pending_), text] {
        GBytes* bytes = g_bytes_new_static(text->data(), text->size());
        GObjectPtr<JSCValue> answer(jsc_value_new_string_from_bytes(pending->context.get(), bytes));
        webkit_script_message_reply_return_value(pending->reply, answer.get());
        g_bytes_unref(bytes);
    });
}

}  // namespace host
