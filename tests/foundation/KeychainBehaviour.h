// What every keychain store must do, as seen through Keychain: one typed test
// suite, instantiated for the file store (KeychainTest) and for the Secret
// Service (integration/KeychainSecretServiceTest).
//
// A store maker is a type with
//   static std::unique_ptr<KeychainStore> make(std::string* skipReason);
// answering null (with the reason) when its store cannot be had here.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/Keychain.h"
#include "foundation/SystemLog.h"
#include "foundation/Url.h"

namespace quorvel::test {

template <typename StoreMaker>
class KeychainBehaviour : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    auto store = StoreMaker::make(&reason);
    if (!store) GTEST_SKIP() << "No keychain store: " << reason;
    keychain_ = std::make_unique<Keychain>(std::move(store));
    // Names unique to the test, so that a shared store keeps tests apart.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    unique_ = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : unique_)
      if (c == '/') c = '-';
  }

  Keychain& keychain() { return *keychain_; }
  std::string service() const { return "Quorvel Test " + unique_; }
  std::string host() const { return "host-" + std::to_string(std::hash<std::string>()(unique_) % 1000000) + ".test"; }
  Url url(const std::string& text) {
    auto parsed = Url::URLWithString(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(Url());
  }

  std::unique_ptr<Keychain> keychain_;
  std::string unique_;
};

TYPED_TEST_SUITE_P(KeychainBehaviour);

TYPED_TEST_P(KeychainBehaviour, GenericPasswordsAreStoredFoundAndRemoved) {
  Keychain& k = this->keychain();
  const std::string service = this->service();
  SystemLogCapture log;
  EXPECT_FALSE(k.genericPasswordForService(service, "alice"));
  ASSERT_TRUE(k.addGenericPassword("s3cr\xC3\xA9t \t%0A\n", service, "alice"));
  EXPECT_EQ(k.genericPasswordForService(service, "alice"), "s3cr\xC3\xA9t \t%0A\n");
  EXPECT_FALSE(k.genericPasswordForService(service, "bob"));
  EXPECT_FALSE(k.genericPasswordForService(service + " other", "alice"));
  EXPECT_TRUE(k.removeGenericPasswordForService(service, "alice"));
  EXPECT_FALSE(k.genericPasswordForService(service, "alice"));
  // Missing items are neither failures nor worth a log line.
  EXPECT_TRUE(k.removeGenericPasswordForService(service, "alice"));
  EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

TYPED_TEST_P(KeychainBehaviour, AddingAnExistingGenericPasswordSucceedsAndKeepsTheOldOne) {
  Keychain& k = this->keychain();
  const std::string service = this->service();
  ASSERT_TRUE(k.addGenericPassword("first", service, "alice"));
  EXPECT_TRUE(k.addGenericPassword("second", service, "alice"));
  EXPECT_EQ(k.genericPasswordForService(service, "alice"), "first");
  // Changing a password: remove, then add.
  EXPECT_TRUE(k.removeGenericPasswordForService(service, "alice"));
  EXPECT_TRUE(k.addGenericPassword("second", service, "alice"));
  EXPECT_EQ(k.genericPasswordForService(service, "alice"), "second");
  k.removeGenericPasswordForService(service, "alice");
}

TYPED_TEST_P(KeychainBehaviour, AnEmptyGenericPasswordIsRefusedWithoutTouchingTheStore) {
  Keychain& k = this->keychain();
  EXPECT_FALSE(k.addGenericPassword("", this->service(), "alice"));
  EXPECT_FALSE(k.genericPasswordForService(this->service(), "alice"));
}

TYPED_TEST_P(KeychainBehaviour, UrlPasswordsSurviveSpecialCharactersAndCompleteTheUrl) {
  Keychain& k = this->keychain();
  auto withPassword = Url::URLWithScheme("ftp", "jane@example.com", "p:a/s?w", this->host(), 2121, "/backups/one");
  ASSERT_TRUE(withPassword);
  ASSERT_TRUE(k.addPasswordForURL(*withPassword));
  auto bare = Url::URLWithScheme("ftp", "jane@example.com", "", this->host(), 2121, "/backups/one", "q=1");
  ASSERT_TRUE(bare);
  Url completed = k.URLWithPasswordForURL(*bare);
  EXPECT_EQ(completed.passwordByReplacingPercentEscapes(), "p:a/s?w");
  EXPECT_EQ(completed.user(), "jane@example.com");
  EXPECT_EQ(completed.host(), this->host());
  EXPECT_EQ(completed.port(), 2121);
  EXPECT_EQ(completed.path(), "/backups/one");
  EXPECT_FALSE(completed.hasQuery());  // rebuilt from scheme, user, host, port and path
  EXPECT_EQ(completed, *withPassword);
  EXPECT_TRUE(k.removePasswordForURL(*bare));
  EXPECT_EQ(k.URLWithPasswordForURL(*bare), *bare);
}

TYPED_TEST_P(KeychainBehaviour, InternetItemsAreKeyedByEveryUrlComponent) {
  Keychain& k = this->keychain();
  const std::string h = this->host();
  ASSERT_TRUE(k.addPasswordForURL(this->url("https://user:pw@" + h + ":8443/dav")));
  EXPECT_TRUE(k.URLWithPasswordForURL(this->url("https://user@" + h + ":8443/dav")).hasPassword());
  for (const std::string& other : {"https://user@" + h + ":8444/dav", "https://user@" + h + ":8443/other",
                                   "https://user@" + h + "/dav", "https://other@" + h + ":8443/dav",
                                   "https://user@x" + h + ":8443/dav", "http://user@" + h + ":8443/dav"}) {
    Url url = this->url(other);
    EXPECT_EQ(k.URLWithPasswordForURL(url), url) << other;
  }
  // The scheme is compared case-insensitively.
  EXPECT_TRUE(k.URLWithPasswordForURL(this->url("HTTPS://user@" + h + ":8443/dav")).hasPassword());
  EXPECT_TRUE(k.removePasswordForURL(this->url("https://user@" + h + ":8443/dav")));
}

TYPED_TEST_P(KeychainBehaviour, SchemesWithoutAProtocolCodeMatchAnyProtocol) {
  Keychain& k = this->keychain();
  const std::string h = this->host();
  ASSERT_TRUE(k.addPasswordForURL(this->url("s3://key:secret@" + h + "/bucket")));
  EXPECT_EQ(k.URLWithPasswordForURL(this->url("s3://key@" + h + "/bucket")).passwordByReplacingPercentEscapes(),
            "secret");
  // An item of a known protocol is found by a look-up for any protocol...
  ASSERT_TRUE(k.addPasswordForURL(this->url("ftps://u:ftps-pw@" + h + "/x")));
  EXPECT_EQ(k.URLWithPasswordForURL(this->url("file://u@" + h + "/x")).passwordByReplacingPercentEscapes(),
            "ftps-pw");
  // ...but not by a look-up for another protocol.
  Url ftp = this->url("ftp://u@" + h + "/x");
  EXPECT_EQ(k.URLWithPasswordForURL(ftp), ftp);
  EXPECT_TRUE(k.removePasswordForURL(this->url("s3://key@" + h + "/bucket")));
  EXPECT_TRUE(k.removePasswordForURL(this->url("ftps://u@" + h + "/x")));
  EXPECT_FALSE(k.URLWithPasswordForURL(this->url("ftps://u@" + h + "/x")).hasPassword());
}

TYPED_TEST_P(KeychainBehaviour, UrlOperationsNeedAUserAndAPassword) {
  Keychain& k = this->keychain();
  const std::string h = this->host();
  SystemLogCapture log;
  EXPECT_FALSE(k.addPasswordForURL(this->url("ftp://" + h + "/p")));
  EXPECT_FALSE(k.addPasswordForURL(this->url("ftp://u@" + h + "/p")));
  EXPECT_FALSE(k.addPasswordForURL(this->url("ftp://u:@" + h + "/p")));
  EXPECT_FALSE(k.removePasswordForURL(this->url("ftp://" + h + "/p")));
  EXPECT_FALSE(k.URLWithPasswordForURL(this->url("ftp://u@" + h + "/p")).hasPassword());  // nothing was stored
  Url noUser = this->url("ftp://" + h + "/p");
  EXPECT_EQ(k.URLWithPasswordForURL(noUser), noUser);
  EXPECT_TRUE(log.lines().empty());
}

TYPED_TEST_P(KeychainBehaviour, AUrlThatCarriesAPasswordIsReturnedUnchanged) {
  Keychain& k = this->keychain();
  const std::string h = this->host();
  ASSERT_TRUE(k.addPasswordForURL(this->url("sftp://u:stored@" + h + "/p")));
  Url own = this->url("sftp://u:own@" + h + "/p?x=1");
  EXPECT_EQ(k.URLWithPasswordForURL(own), own);
  k.removePasswordForURL(own);
}

TYPED_TEST_P(KeychainBehaviour, SetPasswordForUrlAddsOrRemoves) {
  Keychain& k = this->keychain();
  const std::string h = this->host();
  EXPECT_TRUE(k.setPasswordForURL(this->url("smb://u:one@" + h + "/share")));
  EXPECT_EQ(k.URLWithPasswordForURL(this->url("smb://u@" + h + "/share")).passwordByReplacingPercentEscapes(), "one");
  EXPECT_TRUE(k.setPasswordForURL(this->url("smb://u:two@" + h + "/share")));  // kept: adding never replaces
  EXPECT_EQ(k.URLWithPasswordForURL(this->url("smb://u@" + h + "/share")).passwordByReplacingPercentEscapes(), "one");
  EXPECT_TRUE(k.setPasswordForURL(this->url("smb://u@" + h + "/share")));
  EXPECT_FALSE(k.URLWithPasswordForURL(this->url("smb://u@" + h + "/share")).hasPassword());
  EXPECT_FALSE(k.setPasswordForURL(this->url("smb://" + h + "/share")));  // no user: nothing to remove
}

TYPED_TEST_P(KeychainBehaviour, GenericAndInternetItemsDoNotMix) {
  Keychain& k = this->keychain();
  const std::string h = this->host();
  ASSERT_TRUE(k.addGenericPassword("generic", h, "u"));
  EXPECT_FALSE(k.URLWithPasswordForURL(this->url("file://u@" + h)).hasPassword());
  ASSERT_TRUE(k.addPasswordForURL(this->url("file://u:internet@" + h)));
  EXPECT_EQ(k.genericPasswordForService(h, "u"), "generic");
  EXPECT_TRUE(k.removeGenericPasswordForService(h, "u"));
  EXPECT_EQ(k.URLWithPasswordForURL(this->url("file://u@" + h)).passwordByReplacingPercentEscapes(), "internet");
  EXPECT_TRUE(k.removePasswordForURL(this->url("file://u@" + h)));
}

REGISTER_TYPED_TEST_SUITE_P(KeychainBehaviour, GenericPasswordsAreStoredFoundAndRemoved,
                            AddingAnExistingGenericPasswordSucceedsAndKeepsTheOldOne,
                            AnEmptyGenericPasswordIsRefusedWithoutTouchingTheStore,
                            UrlPasswordsSurviveSpecialCharactersAndCompleteTheUrl,
                            InternetItemsAreKeyedByEveryUrlComponent, SchemesWithoutAProtocolCodeMatchAnyProtocol,
                            UrlOperationsNeedAUserAndAPassword, AUrlThatCarriesAPasswordIsReturnedUnchanged,
                            SetPasswordForUrlAddsOrRemoves, GenericAndInternetItemsDoNotMix);

}  // namespace quorvel::test
