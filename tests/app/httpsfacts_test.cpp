// The HTTPS facts a headless owner gets in place of the Settings dialog's group: as start-up
// lines and with the Internet check's lines, printed again only when they change.
#include <gtest/gtest.h>

#include "app/HeadlessCheckView.h"
#include "app/HttpsSetup.h"
#include "base/TlsCertificate.h"

namespace {

using Source = CTlsCertificates::Source;

TEST(HttpsFacts, TellTheCertificateItsIssuerItsSourceAndTheLastErrors) {
  std::string error;
  const auto certificate = CTlsCertificate::MakeSelfSigned({"box", "127.0.0.1"}, 10, &error);
  ASSERT_TRUE(certificate) << error;
  const std::string line = "HTTPS: self-signed certificate for box,127.0.0.1, valid until " +
                           tessel::LocalTimeText(certificate->NotAfter()) + ", SHA-256 " +
                           certificate->Fingerprint();
  struct Case {
    CHttpsSetup::State state;
    std::string choice;
    bool with_certificate;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{{Source::kSelfSigned, certificate, ""}, ""},
       "acme",
       true,
       {line, "HTTPS: issued by box", "HTTPS: certificates from automatic (ACME)",
        "HTTPS: last ACME error: none"}},
      {{{Source::kSelfSigned, certificate, "/own.pem: no such file"}, "port 80 is closed"},
       "own",
       false,
       {"HTTPS: issued by box", "HTTPS: certificates from own files",
        "HTTPS: own certificate files not in use: /own.pem: no such file",
        "HTTPS: last ACME error: port 80 is closed"}},
      {{{Source::kNone, nullptr, ""}, ""},
       "self-signed",
       true,
       {"HTTPS: no certificate in use", "HTTPS: certificates from self-signed",
        "HTTPS: last ACME error: none"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CHttpsSetup::FactLines(c.state, c.choice, c.with_certificate), c.lines) << c.choice;
  }
}

TEST(HttpsFacts, ComeWithTheInternetChecksURLWhenTheyChange) {
  std::vector<std::string> printed;
  std::vector<std::string> facts = {"HTTPS: issued by box", "HTTPS: last ACME error: none"};
  CHeadlessCheckView view([&](const std::string& line) { printed.push_back(line); },
                          [&] { return facts; });
  view.SetPageUrl("http://203.0.113.5/");
  view.SetPageUrl("http://203.0.113.5/");
  facts.back() = "HTTPS: last ACME error: port 80 is closed";
  view.SetPageUrl("http://203.0.113.5/");
  EXPECT_EQ(printed, (std::vector<std::string>{
                         "Internet URL: http://203.0.113.5/",
                         "Internet check: HTTPS: issued by box",
                         "Internet check: HTTPS: last ACME error: none",
                         "Internet URL: http://203.0.113.5/",
                         "Internet URL: http://203.0.113.5/",
                         "Internet check: HTTPS: issued by box",
                         "Internet check: HTTPS: last ACME error: port 80 is closed",
                     }));
}

}  // namespace
