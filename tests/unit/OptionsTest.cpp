// The daemon's command line.
#include <gtest/gtest.h>

#include "process/Options.h"

TEST(CommandLine, NoOptionKeepsTheFixedDefaults) {
    CommandLine line = parseCommandLine({});
    EXPECT_EQ(line.action, CommandLine::Run);
    EXPECT_EQ(line.options.device, "/dev/ttyUSB0");
    EXPECT_EQ(line.options.server.port, 40405u);
    EXPECT_EQ(line.options.server.listenAddress, "");
    EXPECT_TRUE(line.options.server.allowedOrigins.empty());
    EXPECT_EQ(line.options.server.clientConnections, 64u);
}

TEST(CommandLine, EachOptionInBothSpellings) {
    CommandLine line =
        parseCommandLine({"--device", "/dev/ttyUSB1", "--port=40406", "--listen", "::1",
                          "--allow-origin", "http://ui:8080", "--allow-origin=https://ui.example",
                          "--client-connections", "8", "--tls-cert", "s.crt", "--tls-key=s.key",
                          "--tls-client-ca", "ca.crt", "--operators", "ops"});
    ASSERT_EQ(line.action, CommandLine::Run) << line.problem;
    EXPECT_EQ(line.options.device, "/dev/ttyUSB1");
    EXPECT_EQ(line.options.server.port, 40406u);
    EXPECT_EQ(line.options.server.listenAddress, "::1");
    EXPECT_EQ(line.options.server.clientConnections, 8u);
    EXPECT_EQ(line.options.server.allowedOrigins,
              (std::vector<std::string>{"http://ui:8080", "https://ui.example"}));
    EXPECT_EQ(line.options.tls.certificate, "s.crt");
    EXPECT_EQ(line.options.tls.key, "s.key");
    EXPECT_EQ(line.options.tls.clientCa, "ca.crt");
    EXPECT_EQ(line.options.operators, "ops");
    EXPECT_EQ(parseCommandLine({"--listen", "127.0.0.1"}).options.server.listenAddress,
              "127.0.0.1");
    EXPECT_EQ(parseCommandLine({"--port", "1", "--help"}).action, CommandLine::Help);
    EXPECT_EQ(parseCommandLine({"--version"}).action, CommandLine::Version);
}

TEST(CommandLine, BadOptionsAndValuesSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        const char* problem;
    } cases[] = {
        {{"--verbose"}, "unknown option --verbose"},
        {{"serve"}, "unknown option serve"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "--port takes a number from 1 to 65535, not '0'"},
        {{"--port", "65536"}, "not '65536'"},
        {{"--port", "80x"}, "not '80x'"},
        {{"--port=-1"}, "not '-1'"},
        {{"--listen", "localhost"}, "--listen takes an IPv4 or IPv6 address, not 'localhost'"},
        {{"--listen", "300.1.1.1"}, "not '300.1.1.1'"},
        {{"--device="}, "--device needs a path"},
        {{"--allow-origin", "null"}, "--allow-origin takes an origin"},
        {{"--allow-origin", "http://ui/"}, "not 'http://ui/'"},
        {{"--help=yes"}, "--help takes no value"},
        {{"--client-connections", "0"}, "--client-connections takes a number from 1 to 100000"},
        // TLS options that make no sense without the others.
        {{"--tls-key", "s.key"}, "--tls-key needs --tls-cert"},
        {{"--tls-cert", "s.crt"}, "--tls-cert needs --tls-key"},
        {{"--tls-client-ca", "ca.crt"}, "--tls-client-ca needs TLS"},
        {{"--operators", "ops"}, "--operators needs client certificates"},
        {{"--tls-cert", "s.crt", "--tls-key", "s.key", "--operators", "ops"},
         "--operators needs client certificates"},
        {{"--tls-cert="}, "--tls-cert needs a file"},
    };
    for (const auto& c : cases) {
        CommandLine line = parseCommandLine(c.args);
        EXPECT_EQ(line.action, CommandLine::Invalid) << c.args[0];
        EXPECT_NE(line.problem.find(c.problem), std::string::npos) << line.problem;
    }
}
