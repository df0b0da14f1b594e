#include "host/CKZCfgInterface.h"

#include "host/KZStrFunc.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace KZAPI {

namespace {

struct CfgStore {
    std::mutex mutex;
    std::map<std::string, std::string, std::less<>> values;
};

CfgStore& store() {
    static CfgStore s;
    return s;
}

} // namespace

CString CKZCfgInterface::CFG_GetValue(const char* key, const char* default_value) {
    CfgStore& st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    auto it = key ? st.values.find(key) : st.values.end();
    if (it == st.values.end()) return CString(default_value);
    return CString(it->second);
}

int32_t CKZCfgInterface::CFG_GetIntValue(const char* key, int32_t default_value) {
    CfgStore& st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    auto it = key ? st.values.find(key) : st.values.end();
    if (it == st.values.end()) return default_value;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(it->second.c_str(), &end, 0);
    if (end == it->second.c_str() || errno == ERANGE) return default_value;
    return static_cast<int32_t>(v);
}

void CKZCfgInterface::CFG_SetValue(const char* key, const char* value) {
    if (!key) return;
    CfgStore& st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.values[key] = value ? value : "";
}

bool CKZCfgInterface::CFG_HasValue(const char* key) {
    CfgStore& st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    return key && st.values.count(key) != 0;
}

void CKZCfgInterface::CFG_Clear() {
    CfgStore& st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.values.clear();
}

int CKZCfgInterface::CFG_LoadText(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    int loaded = 0;
    while (std::getline(in, line)) {
        std::string_view l = trim_white(line);
        if (l.empty() || l[0] == '#' || l[0] == ';') continue;
        size_t eq = l.find('=');
        if (eq == std::string_view::npos) continue;
        std::string key(trim_white(l.substr(0, eq)));
        std::string value(trim_white(l.substr(eq + 1)));
        if (key.empty()) continue;
        CFG_SetValue(key.c_str(), value.c_str());
        ++loaded;
    }
    return loaded;
}

int CKZCfgInterface::CFG_LoadFile(const std::string& path) {
    std::ifstream f(path);
    if (!f) return -1;
    std::stringstream ss;
    ss << f.rdbuf();
    return CFG_LoadText(ss.str());
}

} // namespace KZAPI
