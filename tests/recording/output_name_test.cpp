// Names of recordings and snapshots: user folders as a desktop entry writes them, date fields,
// and the numbered choices for a taken name.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "output_name.h"

namespace {

// Sets (or, with nullptr, removes) an environment variable for one test.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedVariable() {
        if (m_old.empty())
            unsetenv(m_name);
        else
            setenv(m_name, m_old.c_str(), 1);
    }

  private:
    const char* m_name;
    std::string m_old;
};

TEST(OutputName, DateFieldsAreFilledAndEveryOtherPercentKept) {
    std::tm local{};
    local.tm_year = 2026 - 1900, local.tm_mon = 11, local.tm_mday = 8;
    local.tm_hour = 7, local.tm_min = 5, local.tm_sec = 9, local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    EXPECT_EQ(fillDateFields("v/camfx %Y-%m-%d %H-%M-%S.mp4", when),
              "v/camfx 2026-12-08 07-05-09.mp4");
    EXPECT_EQ(fillDateFields("100% %a %n %Y%%.mkv", when), "100% %a %n 2026%%.mkv");
    EXPECT_TRUE(hasDateFields("clip %S.mkv"));
    for (const char* plain : {"camera.hevc", "100%.mp4", "%a %n.mkv", "end %"})
        EXPECT_FALSE(hasDateFields(plain)) << plain;
}

TEST(OutputName, ATakenNameIsNumberedBeforeItsExtension) {
    EXPECT_EQ(numberedName("v/clip.mp4", 1), "v/clip.mp4");
    EXPECT_EQ(numberedName("v/clip.mp4", 2), "v/clip-2.mp4");
    EXPECT_EQ(numberedName("v.d/clip", 3), "v.d/clip-3");
    EXPECT_EQ(numberedName("a b.c.mkv", 12), "a b.c-12.mkv");
}

TEST(OutputName, UserFoldersComeFromTheVariableThenUserDirsThenTheHomeFolder) {
    char pattern[] = "/tmp/camfx-home-XXXXXX";
    const std::string home = mkdtemp(pattern);
    std::filesystem::create_directories(home + "/config");
    ScopedVariable homeVariable("HOME", home.c_str());
    ScopedVariable config("XDG_CONFIG_HOME", (home + "/config").c_str());
    ScopedVariable videos("XDG_VIDEOS_DIR", nullptr);
    ScopedVariable pictures("XDG_PICTURES_DIR", nullptr);

    EXPECT_EQ(expandUserFolder("$XDG_VIDEOS_DIR/a %Y.mp4"), home + "/Videos/a %Y.mp4");
    EXPECT_EQ(expandUserFolder("$XDG_PICTURES_DIR"), home + "/Pictures");
    EXPECT_EQ(expandUserFolder("~/x.mkv"), home + "/x.mkv");
    for (const char* unchanged : {"x/~/a.mp4", "$XDG_VIDEOS_DIRX/a.mp4", "$HOME/a.mp4", "~x"})
        EXPECT_EQ(expandUserFolder(unchanged), unchanged);

    std::ofstream(home + "/config/user-dirs.dirs")
        << "# written by xdg-user-dirs-update\nXDG_VIDEOS_DIR=\"$HOME/Filme\"\n"
           "XDG_PICTURES_DIR=\"/srv/bilder\"\n";
    EXPECT_EQ(userFolder(UserFolder::Videos), home + "/Filme");
    EXPECT_EQ(userFolder(UserFolder::Pictures), "/srv/bilder");

    ScopedVariable set("XDG_VIDEOS_DIR", "/media/clips");
    EXPECT_EQ(expandUserFolder("$XDG_VIDEOS_DIR/b.mkv"), "/media/clips/b.mkv");
    EXPECT_TRUE(isUnderUserFolder("/media/clips"));
    EXPECT_TRUE(isUnderUserFolder("/media/clips/2026/12"));
    EXPECT_TRUE(isUnderUserFolder("/srv/bilder/"));
    for (const char* outside : {"/media", "/media/clipsX", "/media/clips/../other", "rel"})
        EXPECT_FALSE(isUnderUserFolder(outside)) << outside;
    std::filesystem::remove_all(home);
}

}  // namespace
