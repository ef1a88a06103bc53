// The ACME renewal with the HTTP service answering the challenges, against Debian's pebble in a
// namespace of its own that reaches the service at the address standing for the external one:
// a certificate is obtained and served, renewed once the clock passes two thirds of its
// lifetime, one for the owner's domain (pebble's mock DNS naming the service's address) is
// served under that name, and a validation that cannot reach the service leaves the self-signed
// certificate serving, the reason in words and a later try.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "app/AcmeRenewal.h"
#include "service/WebFixture.h"
#include "support/Eventually.h"
#include "support/NetworkIsolation.h"
#include "support/Pebble.h"

namespace {

using namespace tessel::test;
using Source = CTlsCertificates::Source;

class AcmeRenewalTest : public web::WebFixture {
 protected:
  void SetUp() override {
    if (!NetworkIsolated()) GTEST_SKIP() << "no private network namespace";
    const std::string why = Pebble::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    certificates = std::make_unique<CTlsCertificates>(
        context, folder.path(), [this](const std::string& name) { return Setting(name); },
        [this](const std::string& line) { Report(line); },
        [] {
          return std::vector<std::string>{"tessel-test", "127.0.0.1"};
        });
    ASSERT_TRUE(certificates->Start());
    // Both before the service starts.
    service.SetAcmeChallenges(&challenges);
    service.SetTls(&context, certificates.get());
    web::WebFixture::SetUp();
  }
  void TearDown() override {
    renewal.reset();
    if (certificates) web::WebFixture::TearDown();
  }

  void StartRenewal(const Pebble& pebble) {
    {
      std::lock_guard lock(mutex);
      values["AcmeDirectory"] = pebble.Directory();
      values["AcmeCaFile"] = pebble.ListenerCa();
    }
    CAcmeRenewal::Options options;
    options.first_retry = std::chrono::seconds(60);
    options.poll_interval = std::chrono::milliseconds(200);
    renewal = std::make_unique<CAcmeRenewal>(
        *certificates, challenges, folder.path(),
        [this](const std::string& name) { return Setting(name); },
        [this](const std::string& line) { Report(line); }, nullptr, options);
    renewal->SetClock([this] { return now.load(); });
    renewal->Start();
    renewal->SetExternalAddress(Pebble::kPeerAddress);
  }

  // curl trusting pebble's root alone: the reply's status.
  std::string Curl(std::vector<std::string> arguments, const Pebble& pebble) {
    const std::string out = folder / "curl.txt";
    std::vector<std::string> argv = {FindProgram("curl"), "-sS", "--cacert",
                                     pebble.Root(),       "-w",  "%{http_code}"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::remove(out.c_str());
    tessel::test::Run(nullptr, argv, out);
    return ReadFile(out);
  }

  std::string Setting(const std::string& name) {
    std::lock_guard lock(mutex);
    return values[name];
  }
  void Report(const std::string& line) {
    std::lock_guard lock(mutex);
    reports.push_back(line);
  }
  std::vector<std::string> Reports() {
    std::lock_guard lock(mutex);
    return reports;
  }
  size_t CountReports(const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : Reports()) count += line.rfind(prefix, 0) == 0;
    return count;
  }

  CAcmeChallenges challenges;
  CTlsContext context;
  std::unique_ptr<CTlsCertificates> certificates;
  std::unique_ptr<CAcmeRenewal> renewal;
  std::atomic<std::time_t> now{std::time(nullptr)};
  std::mutex mutex;
  std::map<std::string, std::string> values;
  std::vector<std::string> reports;
};

TEST_F(AcmeRenewalTest, ObtainsServesAndRenewsAtTwoThirdsOfTheLifetime) {
  Pebble pebble(service.Port());
  ASSERT_EQ(pebble.Failure(), "");
  StartRenewal(pebble);
  ASSERT_TRUE(Eventually([&] { return renewal->Obtained() == 1; }, std::chrono::seconds(30)))
      << renewal->LastError() << "\n"
      << pebble.Log();
  const auto first = context.Certificate();
  EXPECT_EQ(certificates->Current().source, Source::kAcme);
  EXPECT_TRUE(certificates->Trusted());
  EXPECT_EQ(first->Names(), std::vector<std::string>{Pebble::kPeerAddress});
  EXPECT_EQ(CountReports("HTTPS: ACME certificate for 198.18.0.2, valid until "), 1u);

  // A browser trusting pebble's root downloads the same bytes and logs in over TLS.
  const std::string content = web::Pattern(1 << 20);
  web::WriteFile(Local("Data/file.bin"), content);
  Share("Data", Local("Data"));
  const std::string base = "https://198.18.0.2:" + std::to_string(service.Port());
  const std::string saved = folder / "saved.bin";
  EXPECT_EQ(Curl({"-o", saved, base + "/download.htm?file=Data%5Cfile.bin"}, pebble), "200");
  EXPECT_TRUE(web::ReadFile(saved) == content);
  EXPECT_EQ(Curl({"-o", "/dev/null", "-u", web::kAdmin, base + "/index.htm"}, pebble), "302");
  EXPECT_EQ(Curl({"-o", "/dev/null", base + "/index.htm"}, pebble), "401");

  // Nothing happens before two thirds of the lifetime have passed, however often it looks.
  const std::time_t renew_at =
      first->NotBefore() + (first->NotAfter() - first->NotBefore()) * 2 / 3;
  now = renew_at - 60;
  renewal->Wake();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(renewal->Obtained(), 1);
  now = renew_at + 1;
  renewal->Wake();
  ASSERT_TRUE(Eventually([&] { return renewal->Obtained() == 2; }, std::chrono::seconds(30)))
      << renewal->LastError();
  EXPECT_NE(context.Certificate()->Fingerprint(), first->Fingerprint());
  EXPECT_EQ(CountReports("HTTPS: ACME certificate for 198.18.0.2, valid until "), 2u);
}

TEST_F(AcmeRenewalTest, TheOwnersDomainGetsACertificateServedUnderItsName) {
  constexpr const char* kDomain = "files.tessel-test.org";
  Pebble pebble(service.Port(), true);  // its mock DNS points every name at Tessel
  ASSERT_EQ(pebble.Failure(), "");
  {
    std::lock_guard lock(mutex);
    values["CertDomain"] = kDomain;
  }
  StartRenewal(pebble);
  ASSERT_TRUE(Eventually([&] { return renewal->Obtained() == 1; }, std::chrono::seconds(30)))
      << renewal->LastError() << "\n"
      << pebble.Log();
  EXPECT_EQ(context.Certificate()->Names(), std::vector<std::string>{kDomain});
  EXPECT_TRUE(certificates->Trusted());

  const std::string content = web::Pattern(100000);
  web::WriteFile(Local("Data/file.bin"), content);
  Share("Data", Local("Data"));
  const std::string port = std::to_string(service.Port());
  const std::string saved = folder / "saved.bin";
  EXPECT_EQ(
      Curl(
          {"-o", saved, "--resolve", std::string(kDomain) + ":" + port + ":" + Pebble::kPeerAddress,
           "https://" + std::string(kDomain) + ":" + port + "/download.htm?file=Data%5Cfile.bin"},
          pebble),
      "200");
  EXPECT_TRUE(web::ReadFile(saved) == content);
}

TEST_F(AcmeRenewalTest, FailedValidationLeavesSelfSignedAndTriesAgainLater) {
  Pebble pebble(loopback::FreePort());  // validations find nothing listening there
  ASSERT_EQ(pebble.Failure(), "");
  const std::string self_signed = context.Certificate()->Fingerprint();
  StartRenewal(pebble);
  const std::string failure =
      "HTTPS: no ACME certificate for 198.18.0.2: the certificate "
      "authority could not validate 198.18.0.2: ";
  ASSERT_TRUE(Eventually([&] { return CountReports(failure) == 1; }, std::chrono::seconds(30)))
      << pebble.Log();
  EXPECT_EQ(certificates->Current().source, Source::kSelfSigned);
  EXPECT_EQ(context.Certificate()->Fingerprint(), self_signed);
  EXPECT_NE(renewal->LastError().find("connection refused"), std::string::npos)
      << renewal->LastError();
  EXPECT_NE(Reports().back().find("; next try at "), std::string::npos);

  // No new try before the retry's time; one after it.
  renewal->Wake();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(CountReports(failure), 1u);
  now = now + 61;
  renewal->Wake();
  EXPECT_TRUE(Eventually([&] { return CountReports(failure) == 2; }, std::chrono::seconds(30)));

  // Once the owner chooses the self-signed certificate, no more tries.
  {
    std::lock_guard lock(mutex);
    values["CertSource"] = "self-signed";
  }
  now = now + 24 * 3600;
  renewal->Wake();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(CountReports(failure), 2u);
}

}  // namespace
