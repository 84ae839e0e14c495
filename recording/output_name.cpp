#include "output_name.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

constexpr const char* kDateFields = "YmdHMS";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string homeFolder() {
    return environment("HOME");
}

// The value of `variable` in user-dirs.dirs, which holds lines as
// XDG_VIDEOS_DIR="$HOME/Videos"; empty when the file or the line is missing.
std::string userDirsEntry(const std::string& variable) {
    std::string config = environment("XDG_CONFIG_HOME");
    if (config.empty())
        config = homeFolder() + "/.config";
    std::ifstream file(config + "/user-dirs.dirs");
    const std::string prefix = variable + "=\"";
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 1 || line.back() != '"')
            continue;
        std::string value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        if (value.rfind("$HOME", 0) == 0)
            value = homeFolder() + value.substr(5);
        return value;
    }
    return "";
}

struct FolderVariable {
    const char* variable;
    const char* fallback;
};

FolderVariable variableOf(UserFolder folder) {
    return folder == UserFolder::Videos ? FolderVariable{"XDG_VIDEOS_DIR", "Videos"}
                                        : FolderVariable{"XDG_PICTURES_DIR", "Pictures"};
}

}  // namespace

std::string userFolder(UserFolder folder) {
    const FolderVariable which = variableOf(folder);
    std::string path = environment(which.variable);
    if (path.empty())
        path = userDirsEntry(which.variable);
    if (path.empty())
        path = homeFolder() + "/" + which.fallback;
    return path;
}

std::string expandUserFolder(const std::string& name) {
    if (name.rfind("~/", 0) == 0)
        return homeFolder() + name.substr(1);
    for (const UserFolder folder : {UserFolder::Videos, UserFolder::Pictures}) {
        const std::string variable = std::string("$") + variableOf(folder).variable;
        const bool whole = name == variable;
        if (whole || name.rfind(variable + "/", 0) == 0)
            return userFolder(folder) + name.substr(variable.size());
    }
    return name;
}

bool isUnderUserFolder(const std::string& folder) {
    const std::filesystem::path path = std::filesystem::path(folder).lexically_normal();
    for (const UserFolder which : {UserFolder::Videos, UserFolder::Pictures}) {
        const std::filesystem::path base =
            std::filesystem::path(userFolder(which)).lexically_normal();
        const std::filesystem::path relative = path.lexically_relative(base);
        if (!base.empty() && !relative.empty() && *relative.begin() != "..")
            return true;
    }
    return false;
}

bool hasDateFields(const std::string& name) {
    for (size_t i = name.find('%'); i != std::string::npos && i + 1 < name.size();
         i = name.find('%', i + 2)) {
        if (std::string(kDateFields).find(name[i + 1]) != std::string::npos)
            return true;
    }
    return false;
}

std::string fillDateFields(const std::string& name, std::time_t when) {
    // Every "%" that starts none of our fields is doubled, so strftime keeps it as it is.
    std::string format;
    for (size_t i = 0; i < name.size(); ++i) {
        const bool field = name[i] == '%' && i + 1 < name.size() &&
                           std::string(kDateFields).find(name[i + 1]) != std::string::npos;
        if (field) {
            format += name.substr(i, 2);
            ++i;
        } else {
            format += name[i];
            if (name[i] == '%')
                format += '%';
        }
    }
    std::tm local{};
    localtime_r(&when, &local);
    // Each field grows by two characters at most (a year to four digits).
    std::string filled(format.size() * 2 + 1, '\0');
    filled.resize(std::strftime(filled.data(), filled.size(), format.c_str(), &local));
    return filled;
}

std::string numberedName(const std::string& name, int n) {
    if (n <= 1)
        return name;
    const std::filesystem::path path(name);
    const std::string extension = path.extension().string();
    return name.substr(0, name.size() - extension.size()) + "-" + std::to_string(n) + extension;
}
