#include "platform/OtherAccounts.h"

#include "platform/DirectoryHandle.h"

#include <algorithm>
#include <climits>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kelvo {

namespace {

bool IsForeignOwner(uid_t owner)
{
    return owner != geteuid() && owner != 0;
}

} // namespace

mode_t CarriedMode(mode_t mode, uid_t owner)
{
    mode &= 07777;
    if (geteuid() != 0 && owner != geteuid())
        mode &= ~mode_t(S_ISUID | S_ISGID | S_IWGRP | S_IWOTH);
    return mode;
}

bool BelongsToAnotherAccount(const DirectoryHandle& directory)
{
    return geteuid() != 0 && IsForeignOwner(directory.status().st_uid);
}

bool LeadsThroughAnotherAccountsLink(const std::string& path)
{
    std::vector<std::string> names; // still to resolve, the next one last
    const auto push = [&](std::string_view text) {
        std::vector<std::string> parts;
        for (std::size_t start = 0; start <= text.size();) {
            const auto slash = std::min(text.find('/', start), text.size());
            if (slash > start)
                parts.emplace_back(text.substr(start, slash - start));
            start = slash + 1;
        }
        names.insert(names.end(), parts.rbegin(), parts.rend());
    };
    push(path);
    std::string resolved = path.starts_with('/') ? "" : ".";
    for (int links = 0; !names.empty();) {
        const std::string name = std::move(names.back());
        names.pop_back();
        if (name == ".")
            continue;
        if (name == "..") {
            resolved = resolved.substr(0, resolved.rfind('/') == std::string::npos ? 0 : resolved.rfind('/'));
            continue;
        }
        const std::string candidate = resolved + "/" + name;
        struct stat st = {};
        if (lstat(candidate.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = candidate; // what cannot be looked at fails when the root is opened
            continue;
        }
        if (IsForeignOwner(st.st_uid))
            return true;
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(candidate.c_str(), target.data(), target.size());
        if (length < 0 || ++links > 40)
            return false;
        target.resize(static_cast<std::size_t>(length));
        if (target.starts_with('/'))
            resolved.clear();
        push(target);
    }
    return false;
}

} // namespace kelvo
