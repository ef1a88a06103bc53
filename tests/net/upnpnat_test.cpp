#include <gtest/gtest.h>

#include "support/Eventually.h"
#include "support/FakeGateway.h"

namespace {

using namespace tessel::test;

TEST(UPnPNat, ParseUrlSplitsHostPortAndPath) {
  std::string host, path;
  int port = -1;
  ASSERT_TRUE(tessel::ParseUrl("http://192.168.1.1:5000/rootDesc.xml", &host, &port, &path));
  EXPECT_EQ(host, "192.168.1.1");
  EXPECT_EQ(port, 5000);
  EXPECT_EQ(path, "/rootDesc.xml");

  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1/desc.xml", &host, &port, &path));
  EXPECT_EQ(host, "10.0.0.1");
  EXPECT_EQ(port, 80);
  EXPECT_EQ(path, "/desc.xml");
  EXPECT_FALSE(tessel::ParseUrl("http://10.0.0.1", &host, &port, &path));
  EXPECT_FALSE(tessel::ParseUrl("10.0.0.1:80/x", &host, &port, &path));

  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1:x9/", &host, &port, &path));
  EXPECT_EQ(port, 0);
  EXPECT_EQ(path, "/");
  // A ":" in the path is not a port.
  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1/a:b", &host, &port, &path));
  EXPECT_EQ(host, "10.0.0.1");
  EXPECT_EQ(port, 80);
  EXPECT_EQ(path, "/a:b");
  ASSERT_TRUE(tessel::ParseUrl("http://10.0.0.1:99999999999/", &host, &port, &path));
  EXPECT_GT(port, 65535);

  // The path is sent as it is: blanks and control characters would add lines to a request.
  for (const char* url : {"http://10.0.0.1/ctl\r\nX-Injected: 1", "http://10.0.0.1/a b",
                          "http://10.0.0.1/a\tb", "http://10.0.0.1/a\rb", "http://10.0.0.1/\x7f"}) {
    EXPECT_FALSE(tessel::ParseUrl(url, &host, &port, &path)) << url;
  }
  FakeGateway gateway;
  DescriptionLayout layout;
  layout.services = {{kIp1, "/ctl\r\nX-Injected: 1"}};
  std::unique_ptr<CUPnPNat> nat = Discovered(gateway, layout);
  EXPECT_FALSE(nat->AddPortMapping("d", "127.0.0.1", 1, 1, "TCP"));
  EXPECT_EQ(nat->LastMessage(), "Fail to parseURl: " + gateway.Url("/ctl\r\nX-Injected: 1\n"));
  EXPECT_TRUE(gateway.Requests().empty());
}

TEST(UPnPNat, DiscoverySearchesFetchesAndWalksTheDescriptionOnce) {
  FakeGateway gateway;
  gateway.ServeDescription(DescriptionXml({}));
  gateway.QueueSsdp({gateway.SearchAnswer(gateway.Url("/rootDesc.xml"))});
  CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
  nat.SetTimeout(5s);

  const auto start = Clock::now();
  ASSERT_TRUE(nat.Discover()) << nat.LastMessage();
  // The description comes with a Content-Length on a kept connection: no waiting for the close.
  EXPECT_LT(Clock::now() - start, tessel::test::Scaled(2s));
  EXPECT_TRUE(nat.Found());
  EXPECT_EQ(nat.DescribeUrl(), gateway.Url("/rootDesc.xml"));
  EXPECT_EQ(nat.BaseUrl(), gateway.Url(""));
  EXPECT_EQ(nat.ControlUrl(), gateway.Url("/ctl/IPConn"));
  EXPECT_EQ(nat.ServiceType(), kIp1);
  EXPECT_EQ(nat.Description(), HttpOk(DescriptionXml({})));

  const std::vector<std::string> datagrams = gateway.Datagrams(2);
  ASSERT_GE(datagrams.size(), 2u);
  EXPECT_EQ(datagrams[0], kSearch);
  EXPECT_EQ(datagrams[1], kStandardSearch);
  const std::vector<std::string> requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], "GET /rootDesc.xml HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(gateway.http_port()) + "\r\n\r\n");

  gateway.ClearRecords();
  EXPECT_TRUE(nat.Discover());
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(gateway.Datagrams().empty());
  EXPECT_TRUE(gateway.Requests().empty());
}

TEST(UPnPNat, DiscoveryTakesOnlyAnnouncedLocations) {
  const std::string tv =
      "<?xml version=\"1.0\"?><root><device><deviceType>"
      "urn:schemas-upnp-org:device:MediaRenderer:1</deviceType></device></root>";
  const std::string description = DescriptionXml({});
  FakeGateway gateway;
  gateway.SetHandler([&](const std::string& request) {
    if (request.rfind("GET /tv.xml ", 0) == 0) return FakeGateway::Reply{HttpOk(tv)};
    if (request.rfind("GET /rootDesc.xml ", 0) == 0) return FakeGateway::Reply{HttpOk(description)};
    return FakeGateway::Reply{Fault(401)};
  });
  // The gateway answers only the standard search target. Before its answer: a gateway going down
  // (no LOCATION, though a schema URL), a datagram without LOCATION, and a television.
  gateway.QueueSsdp(
      {"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: urn:schemas-upnp-org:service:"
       "WANIPConnection:1\r\nNTS: ssdp:byebye\r\nUSN: uuid:1\r\n\r\n",
       "HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\nEXT: http://example.invalid/x\r\n\r\n",
       gateway.SearchAnswer(gateway.Url("/tv.xml")),
       "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
       "NTS: ssdp:alive\r\nlocation:  " +
           gateway.Url("/rootDesc.xml") + " \r\n\r\n"},
      true);
  CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
  nat.SetTimeout(2s);
  ASSERT_TRUE(nat.Discover()) << nat.LastMessage();
  EXPECT_EQ(nat.DescribeUrl(), gateway.Url("/rootDesc.xml"));
  const std::vector<std::string> requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET /tv.xml ", 0), 0u);

  // Nobody answers.
  FakeGateway silent;
  CUPnPNat lonely("127.0.0.1", silent.ssdp_port());
  const auto start = Clock::now();
  EXPECT_FALSE(lonely.Discover());
  EXPECT_GE(Clock::now() - start, 900ms);
  EXPECT_EQ(lonely.LastMessage(), "Fail to find an UPNP NAT.\n");
  EXPECT_FALSE(lonely.Found());
  EXPECT_EQ(silent.Datagrams(200).size(), 200u);
}

TEST(UPnPNat, DescriptionWalkChoosesTheWanConnectionService) {
  struct Case {
    DescriptionLayout layout;
    std::string control_url;  // "{}" stands for the fake's address
    std::string service_type;
  };
  const std::string v2 = "urn:schemas-upnp-org:";
  std::vector<Case> cases(5);
  // No URLBase, relative control URL.
  cases[0] = {{}, "{}/ctl/IPConn", kIp1};
  // URLBase, joined without adding or removing "/".
  cases[1].layout.url_base = "http://127.0.0.1:1/base";
  cases[1].layout.services = {{kIp1, "ctl"}};
  cases[1].control_url = "http://127.0.0.1:1/basectl";
  cases[1].service_type = kIp1;
  // Absolute control URLs stay as they are, in either letter case of the scheme.
  cases[2].layout.url_base = "http://127.0.0.1:1";
  cases[2].layout.services = {{kIp1, "HTTP://10.0.0.1/x"}};
  cases[2].control_url = "HTTP://10.0.0.1/x";
  cases[2].service_type = kIp1;
  // The first WAN service listed wins, PPP before IP; other services are skipped.
  cases[3].layout.services = {
      {v2 + "service:WANCommonInterfaceConfig:1", "/c"}, {kPpp1, "/ppp"}, {kIp1, "/ip"}};
  cases[3].control_url = "{}/ppp";
  cases[3].service_type = kPpp1;
  // Version 2 devices and service.
  cases[4].layout.igd = v2 + "device:InternetGatewayDevice:2";
  cases[4].layout.wan = v2 + "device:WANDevice:2";
  cases[4].layout.connection = v2 + "device:WANConnectionDevice:2";
  cases[4].layout.services = {{v2 + "service:WANIPConnection:2", "/ctl/IP2"}};
  cases[4].control_url = "{}/ctl/IP2";
  cases[4].service_type = v2 + "service:WANIPConnection:2";
  for (const Case& c : cases) {
    FakeGateway gateway;
    std::unique_ptr<CUPnPNat> nat = Discovered(gateway, c.layout);
    EXPECT_EQ(nat->ControlUrl(), Replace(c.control_url, "{}", gateway.Url("")));
    EXPECT_EQ(nat->ServiceType(), c.service_type);
  }
}

TEST(UPnPNat, DescriptionWalkFailuresNameWhatIsMissing) {
  struct Case {
    std::string description;
    std::string message;
  };
  DescriptionLayout no_igd;
  no_igd.igd = "urn:schemas-upnp-org:device:InternetGatewayDevice:3";
  DescriptionLayout no_list;
  no_list.service_list = false;
  DescriptionLayout no_service;
  no_service.services = {{"urn:schemas-upnp-org:service:WANIPConnection:3", "/x"}};
  const std::vector<Case> cases = {
      {"<root><a></b></root>",
       "The device descripe XML file is not a valid XML file. Cann't find root element.\n"},
      {DescriptionXml(no_igd),
       "Fail to find device \"urn:schemas-upnp-org:device:InternetGatewayDevice:1 \"\n"},
      {DescriptionXml(no_list),
       " Fail to find serviceList of device \"urn:schemas-upnp-org:device:WANDevice:1 \"\n"},
      {DescriptionXml(no_service),
       "can't find  \" SERVICE_WANIP \" or \" SERVICE_WANPPP \" service.\n"},
  };
  // A failed walk lets the search run its full second: run the cases side by side.
  std::vector<std::string> messages(cases.size());
  std::vector<std::thread> runs;
  for (size_t i = 0; i < cases.size(); ++i) {
    runs.emplace_back([&, i] {
      FakeGateway gateway;
      gateway.ServeDescription(cases[i].description);
      gateway.QueueSsdp({gateway.SearchAnswer(gateway.Url("/rootDesc.xml"))});
      CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
      messages[i] = nat.Discover() || nat.Found() ? "found" : nat.LastMessage();
    });
  }
  for (std::thread& run : runs) run.join();
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(messages[i], cases[i].message);

  // The base URL cannot be derived from a location without a path.
  FakeGateway gateway;
  gateway.QueueSsdp(
      {gateway.SearchAnswer("http://127.0.0.1:" + std::to_string(gateway.http_port()))});
  CUPnPNat nat("127.0.0.1", gateway.ssdp_port());
  EXPECT_FALSE(nat.Discover());
  EXPECT_EQ(nat.LastMessage(),
            "Fail to parseURl: http://127.0.0.1:" + std::to_string(gateway.http_port()) + "\n");
}

TEST(UPnPNat, ActionsSendExactRequestsAndReadReplies) {
  std::string reply = HttpOk("");
  FakeGateway gateway;
  std::unique_ptr<CUPnPNat> nat =
      Discovered(gateway, {}, [&](const std::string&) { return FakeGateway::Reply{reply}; });
  const uint16_t port = gateway.http_port();

  ASSERT_TRUE(nat->AddPortMapping("Tessel(127.0.0.1:8080)", "127.0.0.1", 9001, 8080, "TCP"));
  ASSERT_EQ(gateway.Requests().size(), 1u);
  EXPECT_EQ(gateway.Requests()[0],
            SoapRequest(port, kIp1, "AddPortMapping",
                        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>9001</"
                        "NewExternalPort>\r\n<NewProtocol>TCP</NewProtocol>\r\n<NewInternalPort>"
                        "8080</NewInternalPort>\r\n<NewInternalClient>127.0.0.1</"
                        "NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n"
                        "<NewPortMappingDescription>Tessel(127.0.0.1:8080)</"
                        "NewPortMappingDescription>\r\n<NewLeaseDuration>63072000</"
                        "NewLeaseDuration>\r\n"));
  ASSERT_TRUE(nat->DeletePortMapping(9001, "TCP"));
  EXPECT_EQ(gateway.Requests()[1],
            SoapRequest(port, kIp1, "DeletePortMapping",
                        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>9001</"
                        "NewExternalPort>\r\n<NewProtocol>TCP</NewProtocol>\r\n"));

  reply = Fault(718);
  EXPECT_FALSE(nat->AddPortMapping("Tessel(127.0.0.1:8080)", "127.0.0.1", 9001, 8080, "TCP"));
  EXPECT_EQ(nat->LastMessage(), "Fail to add port mapping (Tessel(127.0.0.1:8080)/TCP)\n");
  EXPECT_FALSE(nat->DeletePortMapping(9001, "UDP"));
  EXPECT_EQ(nat->LastMessage(), "Fail to del port mapping (UDP/9001)\n");

  // The external address, whatever the envelope's prefix.
  for (const std::string prefix : {"SOAP-ENV", "s"}) {
    reply = ExternalIpReply(prefix, "u");
    gateway.ClearRecords();
    ASSERT_TRUE(nat->GetExternalIPAddress()) << prefix;
    EXPECT_EQ(gateway.Requests()[0], SoapRequest(port, kIp1, "GetExternalIPAddress",
                                                 "<NewExternalIPAddress></NewExternalIPAddress>"));
    EXPECT_EQ(nat->ExternalIp(), "203.0.113.7");
    EXPECT_EQ(nat->LocalIp(), "127.0.0.1");
    EXPECT_EQ(nat->Response(), reply);
  }
  reply = ExternalIpReply("s", "m");
  EXPECT_TRUE(nat->GetExternalIPAddress());

  reply = HttpOk("<?xml version=\"1.0\"?><Other/>");
  EXPECT_FALSE(nat->GetExternalIPAddress());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO \"SOAP-ENV:Envelope\" node.)\n");
  reply = HttpOk("<s:Envelope><s:Head/></s:Envelope>");
  EXPECT_FALSE(nat->GetExternalIPAddress());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO \"SOAP-ENV:Body\" node.)\n");
  reply = HttpOk(SoapReply("s", "<u:GetExternalIPAddressResponse/>"));
  EXPECT_FALSE(nat->GetExternalIPAddress());
  reply = Fault(501);
  EXPECT_FALSE(nat->GetExternalIPAddress());

  // An address element without text gives an empty address.
  reply = HttpOk(SoapReply("s",
                           "<u:GetExternalIPAddressResponse><NewExternalIPAddress/>"
                           "</u:GetExternalIPAddressResponse>"));
  EXPECT_TRUE(nat->GetExternalIPAddress());
  EXPECT_EQ(nat->ExternalIp(), "");
}

TEST(UPnPNat, ListingReadsEntriesUntilTheGatewayRefusesAnIndex) {
  struct Entry {
    std::string port, client, description;
  };
  std::vector<Entry> table = {{"8080", "192.168.1.9", "Other"},
                              {"9000", "192.168.1.7", "Tessel(192.168.1.7:80)"},
                              {"8081", "192.168.1.5", "Tessel(192.168.1.5:8081)"}};
  std::string prefix = "s";
  FakeGateway gateway;
  std::unique_ptr<CUPnPNat> nat = Discovered(gateway, {}, [&](const std::string& request) {
    const size_t at = request.find("<NewPortMappingIndex>");
    const size_t index = std::stoul(request.substr(at + 21));
    if (index >= table.size()) return FakeGateway::Reply{Fault(713), true};
    const Entry& e = table[index];
    return FakeGateway::Reply{EntryReply(prefix, e.port, e.client, e.description), true};
  });

  ASSERT_TRUE(nat->ListPortMappings()) << nat->LastMessage();
  EXPECT_EQ(nat->LastMessage(), "Totally 3 mapping entries.\n");
  const std::vector<std::string> requests = gateway.Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(requests[static_cast<size_t>(i)],
              SoapRequest(gateway.http_port(), kIp1, "GetGenericPortMappingEntry",
                          "<NewPortMappingIndex>" + std::to_string(i) +
                              "</NewPortMappingIndex><NewRemoteHost></NewRemoteHost>\r\n"
                              "<NewExternalPort></NewExternalPort>\r\n<NewProtocol></NewProtocol>"
                              "\r\n<NewInternalPort></NewInternalPort>\r\n<NewInternalClient></"
                              "NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n"
                              "<NewPortMappingDescription></NewPortMappingDescription>\r\n"
                              "<NewLeaseDuration></NewLeaseDuration>\r\n"));
  }
  EXPECT_EQ(nat->MapExternalPorts(), (std::vector<std::string>{"8080", "9000", "8081"}));
  EXPECT_EQ(nat->MapInternalPorts(), (std::vector<std::string>{"8080", "9000", "8081"}));
  EXPECT_EQ(nat->MapProtocols(), (std::vector<std::string>{"TCP", "TCP", "TCP"}));
  EXPECT_EQ(nat->MapClients(),
            (std::vector<std::string>{"192.168.1.9", "192.168.1.7", "192.168.1.5"}));
  EXPECT_EQ(nat->MapDescriptions()[1], "Tessel(192.168.1.7:80)");

  // A second listing starts afresh; an empty table is a successful listing too.
  prefix = "SOAP-ENV";
  table.resize(1);
  ASSERT_TRUE(nat->ListPortMappings());
  EXPECT_EQ(nat->MapExternalPorts(), (std::vector<std::string>{"8080"}));
  table.clear();
  ASSERT_TRUE(nat->ListPortMappings());
  EXPECT_TRUE(nat->MapDescriptions().empty());
  EXPECT_EQ(nat->LastMessage(), "Totally 0 mapping entries.\n");

  // An entry lacking an element fails the listing and keeps the entries read before it.
  table = {{"1", "a", "x"}, {"2", "b", "y"}};
  gateway.SetHandler([&](const std::string& request) {
    if (request.find("<NewPortMappingIndex>0<") != std::string::npos) {
      return FakeGateway::Reply{EntryReply("s", "1", "a", "x")};
    }
    return FakeGateway::Reply{Replace(EntryReply("s", "2", "b", "y"), "Protocol>", "Proto>")};
  });
  EXPECT_FALSE(nat->ListPortMappings());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO \"NewProtocol\" node.)\n");
  EXPECT_EQ(nat->MapExternalPorts(), (std::vector<std::string>{"1"}));

  gateway.SetHandler(
      [&](const std::string&) { return FakeGateway::Reply{HttpOk(SoapReply("s", "<u:Other/>"))}; });
  EXPECT_FALSE(nat->ListPortMappings());
  EXPECT_EQ(nat->LastMessage(),
            "Fail to get mapping info from response data.(NO "
            "\"u:GetGenericPortMappingEntryResponse\" node.)\n");

  // A gateway answering with long texts cannot fill memory: the listing stops at a few MiB.
  const std::string long_text(200000, 'x');
  gateway.SetHandler([&](const std::string& request) {
    if (request.find("<NewPortMappingIndex>40<") != std::string::npos) {
      return FakeGateway::Reply{Fault(713)};
    }
    return FakeGateway::Reply{EntryReply("s", "1", "a", long_text)};
  });
  EXPECT_FALSE(nat->ListPortMappings());
  EXPECT_EQ(nat->LastMessage(), "The gateway's mapping table is too large.\n");
  EXPECT_LT(nat->MapDescriptions().size(), 40u);
}

TEST(UPnPNat, ExchangesAreBoundedByTheTimeOut) {
  FakeGateway::Reply reply;
  FakeGateway gateway;
  std::unique_ptr<CUPnPNat> nat =
      Discovered(gateway, {}, [&](const std::string&) { return reply; });
  nat->SetTimeout(300ms);

  auto timed = [&](const char* what) {
    const auto start = Clock::now();
    const bool ok = nat->GetExternalIPAddress();
    const auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, tessel::test::Scaled(2s)) << what;
    return ok;
  };

  // Silent, and replying half of what its Content-Length announces: both fail in time.
  reply = {"", true};
  EXPECT_FALSE(timed("silent"));
  EXPECT_EQ(nat->LastMessage(), "No complete reply from the gateway in time.\n");
  const std::string whole = ExternalIpReply("s", "u");
  reply = {whole.substr(0, whole.size() / 2), true};
  EXPECT_FALSE(timed("half"));
  EXPECT_EQ(nat->LastMessage(), "No complete reply from the gateway in time.\n");

  // A whole reply on a kept connection, by Content-Length or in chunks, completes at once.
  reply = {whole, true};
  EXPECT_TRUE(timed("kept"));
  const size_t body = whole.find("\r\n\r\n") + 4;
  const std::string xml = whole.substr(body);
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + Hex(30) +
                              "\r\n" + xml.substr(0, 30) + "\r\n" + Hex(xml.size() - 30) + "\r\n" +
                              xml.substr(30) + "\r\n0\r\n\r\n";
  reply = {chunked, true};
  EXPECT_TRUE(timed("chunked"));
  EXPECT_EQ(nat->ExternalIp(), "203.0.113.7");
  // Without a length the reply ends when the gateway closes the connection.
  reply = {"HTTP/1.1 200 OK\r\n\r\n" + xml, false};
  EXPECT_TRUE(timed("closed"));

  // A gateway that stops listening.
  uint16_t closed_port = 0;
  close(ListenTcp(&closed_port));
  FakeGateway other;
  DescriptionLayout layout;
  layout.services = {{kIp1, "http://127.0.0.1:" + std::to_string(closed_port) + "/ctl"}};
  std::unique_ptr<CUPnPNat> gone = Discovered(other, layout);
  EXPECT_FALSE(gone->AddPortMapping("d", "127.0.0.1", 1, 1, "TCP"));
  EXPECT_EQ(gone->LastMessage(),
            "Fail to connect to 127.0.0.1:" + std::to_string(closed_port) + " (using TCP)\n");
  EXPECT_FALSE(gone->ListPortMappings());
}

}  // namespace
