#pragma once

#include <mutex>
#include <optional>
#include <string>

#include <curl/curl.h>

// libcurl, opened by name when the first transfer or URL check needs it instead of linked: with
// the thirty libraries it brings (TLS, Kerberos, LDAP, SSH, ...) it cost every run's start more
// than all the shell's other libraries together, and most runs never make a transfer. Only
// curl's header is used at build time, for the types and constants.
class CurlLibrary {
public:
    static constexpr const char* defaultFile = "libcurl.so.4";

    // The functions the URL session calls, with the types curl's header gives them.
    struct Functions {
        decltype(&curl_global_init) globalInit;
        decltype(&curl_global_cleanup) globalCleanup;
        decltype(&curl_easy_init) easyInit;
        decltype(&curl_easy_setopt) easySetopt;
        decltype(&curl_easy_getinfo) easyGetinfo;
        decltype(&curl_easy_strerror) easyStrerror;
        decltype(&curl_easy_cleanup) easyCleanup;
        decltype(&curl_multi_init) multiInit;
        decltype(&curl_multi_setopt) multiSetopt;
        decltype(&curl_multi_add_handle) multiAddHandle;
        decltype(&curl_multi_remove_handle) multiRemoveHandle;
        decltype(&curl_multi_perform) multiPerform;
        decltype(&curl_multi_info_read) multiInfoRead;
        decltype(&curl_multi_poll) multiPoll;
        decltype(&curl_multi_wakeup) multiWakeup;
        decltype(&curl_multi_cleanup) multiCleanup;
        decltype(&curl_url) url;
        decltype(&curl_url_set) urlSet;
        decltype(&curl_url_cleanup) urlCleanup;
        decltype(&curl_slist_append) slistAppend;
        decltype(&curl_slist_free_all) slistFreeAll;
    };

    // `file` is looked up as the dynamic loader looks up any library.
    explicit CurlLibrary(std::string file = defaultFile);
    ~CurlLibrary();
    CurlLibrary(const CurlLibrary&) = delete;
    CurlLibrary& operator=(const CurlLibrary&) = delete;

    // The functions, the library opened and initialised by the first call; nothing when it
    // cannot be opened, lacks a function or fails to initialise, and `failure` then says why.
    // Safe from any thread.
    const Functions* functions();
    // Why `functions` gives nothing, once it has.
    const std::string& failure() const { return failure_; }

private:
    void open();
    bool findFunctions(Functions& found);

    std::string file_;
    std::once_flag opened_;
    void* handle_ = nullptr;
    std::optional<Functions> functions_;
    std::string failure_;
};
