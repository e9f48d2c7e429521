#include "platform/Refusal.h"

#include <pwd.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <mutex>

#include "platform/Console.h"
#include "platform/LastError.h"
#include "platform/TrustedPath.h"

namespace plat {

std::string AccountName(uint32_t uid) {
    char buffer[4096];
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 &&
        found != nullptr) {
        return found->pw_name;
    }
    return std::string();
}

std::string OwnerText(uint32_t uid) {
    const std::string name = AccountName(uid);
    const std::string id = "uid " + std::to_string(uid);
    if (!IsTrustedOwner(static_cast<uid_t>(uid))) {
        return "another account owns (" + (name.empty() ? id : name + ", " + id) + ")";
    }
    return (name.empty() ? "account " + std::to_string(uid) : name) + " owns (" + id + ")";
}

std::string KindText(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFIFO:
            return "a FIFO";
        case S_IFDIR:
            return "a directory";
        case S_IFLNK:
            return "a symbolic link";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
        case S_IFBLK:
            return "a device";
        default:
            return "a file";
    }
}

std::string RefusalText(const Refusal& refusal) {
    std::string text = refusal.m_strPath;
    text += refusal.m_strLink.empty() ? " is " : " lies under " + refusal.m_strLink + ", ";
    text += refusal.m_strWhat;
    if (refusal.m_bOwnerKnown) {
        text += " " + OwnerText(refusal.m_uOwner);
    }
    if (!refusal.m_strInstead.empty()) {
        text += "; " + refusal.m_strInstead;
    }
    return text;
}

std::string RefusalText(const std::string& path, const std::string& what, uint32_t owner,
                        const std::string& instead) {
    Refusal refusal;
    refusal.m_strPath = path;
    refusal.m_strWhat = what;
    refusal.m_bOwnerKnown = true;
    refusal.m_uOwner = owner;
    refusal.m_strInstead = instead;
    return RefusalText(refusal);
}

std::string WithInstead(const std::string& text, const std::string& instead) {
    std::string told = text;
    for (const char* own : {kOpenNotRead, kOpenNotWritten, kOpenNotFollowed}) {
        const std::string ending = std::string("; ") + own;
        if (told.size() >= ending.size() &&
            told.compare(told.size() - ending.size(), ending.size(), ending) == 0) {
            told.erase(told.size() - ending.size());
            break;
        }
    }
    return instead.empty() ? told : told + "; " + instead;
}

std::string ReasonWithoutInstead(const std::string& path, const std::string& why,
                                 const std::string& failure) {
    return why.rfind(path + ": ", 0) == 0 ? failure + why : WithInstead(why, std::string());
}

void WarnOfRefusal(const std::string& text, const std::string& topic) {
    if (!topic.empty()) {
        // Never destroyed: refusals met at exit (the registry written
        // back) are still said after the other statics are gone.
        static auto* s_lock = new std::mutex;
        static auto* s_said = new std::map<std::string, std::chrono::steady_clock::time_point>;
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> guard(*s_lock);
        auto [said, fresh] = s_said->emplace(topic, now);
        if (!fresh && now - said->second < std::chrono::seconds(30)) {
            return;
        }
        said->second = now;
        if (s_said->size() > 1024) {
            s_said->clear();
        }
    }
    ConsolePrintf("WARNING: %s\n", text.c_str());
}

}  // namespace plat

namespace plat {

uint32_t WarnAndFail(const std::string& text, const std::string& topic) {
    const uint32_t error = GetLastError();
    WarnOfRefusal(text, topic);
    SetLastError(error);
    return error;
}

}  // namespace plat
