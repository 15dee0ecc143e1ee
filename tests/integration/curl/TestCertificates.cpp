#include "TestCertificates.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace skrib::testing {
namespace {

namespace fs = std::filesystem;

// The openssl settings: the authority's and servers' extensions, and a minimal signing desk
// for `openssl ca`, which (unlike `openssl x509`) can set any validity dates.
std::string configuration(const std::string& folder) {
    return "[req]\n"
           "distinguished_name = dn\n"
           "prompt = no\n"
           "[dn]\n"
           "CN = unused\n"
           "[authority]\n"
           "basicConstraints = critical, CA:TRUE\n"
           "keyUsage = critical, keyCertSign, cRLSign\n"
           "subjectKeyIdentifier = hash\n"
           "[server]\n"
           "basicConstraints = CA:FALSE\n"
           "keyUsage = critical, digitalSignature\n"
           "extendedKeyUsage = serverAuth\n"
           "subjectAltName = IP:127.0.0.1, DNS:localhost\n"
           "[wronghost]\n"
           "basicConstraints = CA:FALSE\n"
           "keyUsage = critical, digitalSignature\n"
           "extendedKeyUsage = serverAuth\n"
           "subjectAltName = DNS:elsewhere.invalid\n"
           "[ca]\n"
           "default_ca = desk\n"
           "[desk]\n"
           "database = " +
           folder + "/index.txt\n" + "new_certs_dir = " + folder + "/issued\n" +
           "serial = " + folder +
           "/serial\n"
           "default_md = sha256\n"
           "policy = anything\n"
           "unique_subject = no\n"
           "[anything]\n"
           "commonName = supplied\n";
}

void openssl(const std::string& folder, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "openssl");
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const std::string log = folder + "/openssl.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::ifstream output(log);
        std::stringstream text;
        text << output.rdbuf();
        throw std::runtime_error("openssl " + arguments.at(1) + " failed: " + text.str());
    }
}

class Maker {
public:
    Maker() {
        made_.folder = makeTemporaryFolder("skrib-certs");
        const std::string& f = made_.folder;
        fs::create_directory(f + "/issued");
        std::ofstream(f + "/index.txt").flush();
        std::ofstream(f + "/serial") << "1000\n";
        std::ofstream(f + "/openssl.cnf") << configuration(f);
        const std::string config = f + "/openssl.cnf";
        const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt",
                                                 "ec_paramgen_curve:prime256v1", "-nodes"};

        const auto authority = [&](const std::string& name, const std::string& subject) {
            std::vector<std::string> arguments = {"req",  "-x509",       "-config",
                                                  config, "-extensions", "authority"};
            arguments.insert(arguments.end(), newKey.begin(), newKey.end());
            arguments.insert(arguments.end(),
                             {"-keyout", f + "/" + name + ".key", "-out", f + "/" + name + ".pem",
                              "-days", "3", "-subj", subject});
            openssl(f, arguments);
        };
        authority("authority", "/CN=Skrib Test Authority");
        authority("stranger", "/CN=Skrib Stranger Authority");

        std::vector<std::string> request = {"req", "-new", "-config", config};
        request.insert(request.end(), newKey.begin(), newKey.end());
        request.insert(request.end(), {"-keyout", f + "/server.key", "-out", f + "/server.csr",
                                       "-subj", "/CN=127.0.0.1"});
        openssl(f, request);

        openssl(f, {"req", "-x509", "-config", config, "-extensions", "server", "-key",
                    f + "/server.key", "-out", f + "/self-signed.pem", "-days", "3", "-subj",
                    "/CN=127.0.0.1"});

        const auto sign = [&](const std::string& name, const std::string& issuer,
                              const std::string& extensions, std::vector<std::string> dates) {
            std::vector<std::string> arguments = {"ca",
                                                  "-batch",
                                                  "-notext",
                                                  "-config",
                                                  config,
                                                  "-extensions",
                                                  extensions,
                                                  "-cert",
                                                  f + "/" + issuer + ".pem",
                                                  "-keyfile",
                                                  f + "/" + issuer + ".key",
                                                  "-in",
                                                  f + "/server.csr",
                                                  "-out",
                                                  f + "/" + name + ".pem"};
            arguments.insert(arguments.end(), dates.begin(), dates.end());
            openssl(f, arguments);
        };
        sign("trusted", "authority", "server", {"-days", "3"});
        sign("unknown-authority", "stranger", "server", {"-days", "3"});
        sign("wrong-host", "authority", "wronghost", {"-days", "3"});
        sign("expired", "authority", "server",
             {"-startdate", "20200101000000Z", "-enddate", "20200201000000Z"});
        sign("not-yet-valid", "authority", "server",
             {"-startdate", "20990101000000Z", "-enddate", "20991231000000Z"});

        made_.authority = f + "/authority.pem";
        made_.key = f + "/server.key";
        made_.trusted = f + "/trusted.pem";
        made_.selfSigned = f + "/self-signed.pem";
        made_.unknownAuthority = f + "/unknown-authority.pem";
        made_.wrongHost = f + "/wrong-host.pem";
        made_.expired = f + "/expired.pem";
        made_.notYetValid = f + "/not-yet-valid.pem";
    }

    ~Maker() {
        std::error_code ignored;
        fs::remove_all(made_.folder, ignored);
    }

    Maker(const Maker&) = delete;
    Maker& operator=(const Maker&) = delete;

    const TestCertificates& made() const { return made_; }

private:
    TestCertificates made_;
};

} // namespace

const TestCertificates& testCertificates() {
    static const Maker maker;
    return maker.made();
}

std::string makeTemporaryFolder(const std::string& prefix) {
    const char* root = std::getenv("SKRIB_TEST_TMP");
    std::string pattern =
        std::string(root != nullptr && *root != '\0' ? root : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder " + pattern);
    }
    return pattern;
}

} // namespace skrib::testing
