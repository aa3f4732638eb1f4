#include "Platform/Desktop/CurlLibrary.h"

#include <dlfcn.h>

namespace {
template <typename Function>
bool find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}
}  // namespace

CurlLibrary::CurlLibrary(std::string file) : file_(std::move(file)) {}

CurlLibrary::~CurlLibrary() {
    if (functions_) {
        functions_->globalCleanup();
    }
    if (handle_ != nullptr) {
        ::dlclose(handle_);
    }
}

const CurlLibrary::Functions* CurlLibrary::functions() {
    std::call_once(opened_, [this] { open(); });
    return functions_ ? &*functions_ : nullptr;
}

void CurlLibrary::open() {
    // Kept mapped after dlclose: the TLS library that curl brings in leaves exit handlers behind.
    handle_ = ::dlopen(file_.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
    Functions found{};
    if (handle_ == nullptr || !findFunctions(found)) {
        failure_ = std::string("Cannot load libcurl: ") + ::dlerror();
        return;
    }
    // Counted by curl, and safe from any thread since 7.84: each library object pairs its own
    // initialisation with a cleanup.
    if (CURLcode code = found.globalInit(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        failure_ = std::string("Cannot initialise libcurl: ") + found.easyStrerror(code);
        return;
    }
    functions_ = found;
}

bool CurlLibrary::findFunctions(Functions& found) {
    return find(handle_, "curl_global_init", found.globalInit) &&
           find(handle_, "curl_global_cleanup", found.globalCleanup) &&
           find(handle_, "curl_easy_init", found.easyInit) &&
           find(handle_, "curl_easy_setopt", found.easySetopt) &&
           find(handle_, "curl_easy_getinfo", found.easyGetinfo) &&
           find(handle_, "curl_easy_strerror", found.easyStrerror) &&
           find(handle_, "curl_easy_cleanup", found.easyCleanup) &&
           find(handle_, "curl_multi_init", found.multiInit) &&
           find(handle_, "curl_multi_setopt", found.multiSetopt) &&
           find(handle_, "curl_multi_add_handle", found.multiAddHandle) &&
           find(handle_, "curl_multi_remove_handle", found.multiRemoveHandle) &&
           find(handle_, "curl_multi_perform", found.multiPerform) &&
           find(handle_, "curl_multi_info_read", found.multiInfoRead) &&
           find(handle_, "curl_multi_poll", found.multiPoll) &&
           find(handle_, "curl_multi_wakeup", found.multiWakeup) &&
           find(handle_, "curl_multi_cleanup", found.multiCleanup) &&
           find(handle_, "curl_url", found.url) && find(handle_, "curl_url_set", found.urlSet) &&
           find(handle_, "curl_url_cleanup", found.urlCleanup) &&
           find(handle_, "curl_slist_append", found.slistAppend) &&
           find(handle_, "curl_slist_free_all", found.slistFreeAll);
}
