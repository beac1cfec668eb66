// Net's reading of the server's URL and of the paths a script asks for.
#include <gtest/gtest.h>

#include <string>

#include "Applications/Net/Net.h"

namespace {

TEST(NetUrlTest, ServerBaseIsTheImageFolder) {
    const struct {
        const char* Url;
        const char* Base; // nullptr: refused
    } Cases[] = {
        {"http://10.0.2.2:8080/deploy.img", "http://10.0.2.2:8080/"},
        {"http://deploy.site/fleet/a/x.img?v=2#top", "http://deploy.site/fleet/a/"},
        {"http://h/", "http://h/"},
        {"http://h:65535/x/", "http://h:65535/x/"},
        {"http://h:65536/x", nullptr},
        {"http://h:0/x", nullptr},
        {"http://h:/x", nullptr},
        {"http://h:123456/x", nullptr},
        {"http://h", nullptr},
        {"http:///x", nullptr},
        {"https://10.0.2.2:8443/deploy.img", "https://10.0.2.2:8443/"},
        {"https:/h/x", nullptr},
        {"httpss://h/x", nullptr},
        {"http://us@h/x", nullptr},
        {"HTTP://h/x", nullptr},
        {"", nullptr},
    };
    for (const auto& Case : Cases) {
        char Base[NET_URL_MAX];
        const bool Accepted = ServerBase(Case.Url, Base, sizeof Base);
        EXPECT_EQ(Accepted, Case.Base != nullptr) << Case.Url;
        if (Accepted && Case.Base != nullptr) {
            EXPECT_STREQ(Base, Case.Base) << Case.Url;
        }
    }
    char Small[10];
    EXPECT_FALSE(ServerBase("http://10.0.2.2/x", Small, sizeof Small));
    EXPECT_FALSE(ServerBase(("http://h/" + std::string(NET_URL_MAX, 'a')).c_str(), Small, 10));
}

TEST(NetUrlTest, OnlyPlainRelativePathsReachTheServer) {
    const struct {
        std::string Path;
        bool Plain;
    } Cases[] = {
        {"upload/logs/PF3-ABC_12.20261209101500.txt", true},
        {"a", true},
        {"..a/b..", true},
        {std::string(NET_PATH_MAX, 'a'), true},
        {std::string(NET_PATH_MAX + 1, 'a'), false},
        {"", false},
        {"/upload/x", false},
        {"upload//x", false},
        {"upload/x/", false},
        {"upload/../deploy.img", false},
        {"..", false},
        {"./x", false},
        {"upload/%2e%2e/x", false},
        {"upload/x?y", false},
        {"upload\\x", false},
        {"a b", false},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(IsPlainServerPath(Case.Path.c_str()), Case.Plain) << Case.Path;
    }
}

} // namespace
