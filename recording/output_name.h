// Names of recordings and snapshots as a user or a desktop entry gives them. A leading "~/" is
// the home folder, a leading "$XDG_VIDEOS_DIR" or "$XDG_PICTURES_DIR" the user's videos or
// pictures folder (a desktop entry's command has no shell to expand them), and the date and
// time fields %Y %m %d %H %M %S are filled in as strftime fills them, so that each run can
// have a file of its own.
#pragma once

#include <ctime>
#include <string>

enum class UserFolder { Videos, Pictures };

// The folder as xdg-user-dirs keeps it: the environment variable, else its line in
// user-dirs.dirs under $XDG_CONFIG_HOME (~/.config), else ~/Videos or ~/Pictures.
std::string userFolder(UserFolder folder);

// `name` with a leading "~/", "$XDG_VIDEOS_DIR" or "$XDG_PICTURES_DIR" replaced by its folder.
std::string expandUserFolder(const std::string& name);

// Whether `folder` is the user's videos or pictures folder or lies under one: such a folder is
// made when it is missing, as a fresh account has neither.
bool isUnderUserFolder(const std::string& folder);

// Whether `name` holds a date or time field.
bool hasDateFields(const std::string& name);

// `name` with its date and time fields filled in for the local time `when`; any other "%" is
// kept as it stands.
std::string fillDateFields(const std::string& name, std::time_t when);

// The n-th name to try for `name` when it is taken: "a/b.mp4", then "a/b-2.mp4", "a/b-3.mp4".
std::string numberedName(const std::string& name, int n);
