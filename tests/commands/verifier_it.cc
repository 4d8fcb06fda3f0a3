// Envelopes made the way the platform makes them, without any of our code on the signing side:
// python3 writes the canonical bytes of each body and the openssl command line signs them. The
// verifier must accept each envelope as received (members in any order, spaces, numbers as
// written) and must agree byte for byte with python's canonical form.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "commands/verifier.h"
#include "support/base64.h"
#include "support/json.h"
#include "tests/support/python_oracle.h"

namespace orvel::commands {
namespace {

const std::set<std::string> kOwnKeys = {"edge_bridge:dev-1"};

// The members every body needs to pass; each tricky body below starts with them.
constexpr const char* kHead =
    R"({"v": 1, "kind": "goto", "vehicle_key": "edge_bridge:dev-1", "iat": 1000, "exp": 1030, )";

// Bodies as the platform might send them, one JSON text per line.
const std::vector<std::string> kBodies = {
    // Members out of order, spaces, numbers written in other forms than their canonical one.
    R"({ "exp" : 1030, "nonce" : "n-1", "iat" : 1000, "vehicle_key" : "edge_bridge:dev-1",)"
    R"( "kind" : "goto", "v" : 1.0, "args" : {"speed": 1.50, "alt_m": 1E2, "tiny": 1e-5,)"
    R"( "edge": 0.0001, "big": 1e16, "long": 123456789012345678.0, "neg0": -0.0, "zero": -0,)"
    R"( "huge": 1E400}})",
    // Text beyond ASCII, astral characters, escapes of every kind; keys sorted by code point
    // (U+FF01 before U+1D11E, which UTF-16 order would reverse).
    std::string(kHead) +
        R"("nonce": "n-2", "label": "Zürich ✈ 𝄞 \ud83d\ude80",)"
        R"( "ctl": "\u0000\u001f\u007f\b\f\n\r\t\"\\/", "keys": {"𝄞": 1, "！": 2, "é": 3,)"
        R"( "Z": 4, "z": 5, "": 6}})",
    // Integers beyond 64 bits, exactly as written.
    std::string(kHead) + R"("nonce": "n-3", "args": {"a": 123456789012345678901234567890,)"
                         R"( "b": -98765432109876543210987654321, "c": 18446744073709551616,)"
                         R"( "d": 9223372036854775808, "e": -9223372036854775809}})",
    // Nested objects in arrays, and keys given twice: the last value counts, once.
    std::string(kHead) +
        R"("nonce": "n-0", "args": {"b": [{"y": 1, "x": {"q": null, "p": true}}, [], {}],)"
        R"( "a": 1, "a": {"k": 2, "j": false}}, "nonce": "n-4"})",
};

constexpr const char* kPythonCanonical = R"PY(
import json, sys
out = []
for line in open(sys.argv[1], encoding='utf-8').read().splitlines():
    out.append(json.dumps(json.loads(line), sort_keys=True, separators=(',', ':')))
open(sys.argv[2], 'w', encoding='ascii').write('\n'.join(out))
)PY";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The openssl command line in a folder of its own, removed afterwards.
class OpenSsl {
 public:
  OpenSsl() {
    std::string dir = ::testing::TempDir() + "orvel_openssl_XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) throw std::runtime_error("cannot make a folder");
    dir_ = dir;
  }
  ~OpenSsl() { std::filesystem::remove_all(dir_); }
  OpenSsl(const OpenSsl&) = delete;
  OpenSsl& operator=(const OpenSsl&) = delete;

  std::filesystem::path path(const std::string& name) const { return dir_ / name; }

  // Runs `openssl args...`; true when it succeeded. Its output is kept for failure messages.
  bool run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> c_argv;
    for (std::string& a : argv) c_argv.push_back(a.data());
    c_argv.push_back(nullptr);
    const std::string log = path("openssl.log");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, c_argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      ADD_FAILURE() << "openssl " << args.front() << " failed: " << read_bytes(log);
      return false;
    }
    return true;
  }

 private:
  std::filesystem::path dir_;
};

TEST(VerifierInterop, EnvelopesSignedByOpenSslOverPythonsCanonicalFormVerify) {
  std::string input;
  for (const std::string& body : kBodies) input += body + "\n";
  const std::optional<std::string> output = testkit::run_python(kPythonCanonical, input);
  ASSERT_TRUE(output.has_value());
  const std::vector<std::string> python = lines_of(*output);
  ASSERT_EQ(python.size(), kBodies.size());

  OpenSsl openssl;
  const std::string key = openssl.path("key.pem");
  const std::string der = openssl.path("pub.der");
  ASSERT_TRUE(openssl.run({"genpkey", "-algorithm", "ed25519", "-out", key}));
  ASSERT_TRUE(openssl.run({"pkey", "-in", key, "-pubout", "-outform", "DER", "-out", der}));
  const std::string spki = read_bytes(der);
  ASSERT_EQ(spki.size(), 44U);  // the fixed Ed25519 SubjectPublicKeyInfo: the raw key last
  Verifier verifier(base64_encode(spki.substr(12)), "cli");

  for (std::size_t i = 0; i < kBodies.size(); ++i) {
    SCOPED_TRACE(kBodies[i]);
    const std::optional<Json> body = parse_json(kBodies[i]);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(canonical(*body), python[i]);

    const std::string message = openssl.path("body" + std::to_string(i));
    const std::string sig = openssl.path("sig" + std::to_string(i));
    write_bytes(message, python[i]);
    ASSERT_TRUE(
        openssl.run({"pkeyutl", "-sign", "-inkey", key, "-rawin", "-in", message, "-out", sig}));
    const std::string sig_b64 = base64_encode(read_bytes(sig));
    // The envelope as it arrives: the body in its received form, not the signed one.
    const std::optional<Json> envelope =
        parse_json(R"({"sig": ")" + sig_b64 + R"(", "body": )" + kBodies[i] + "}");
    ASSERT_TRUE(envelope.has_value());
    EXPECT_EQ(verifier.verify(*envelope, kOwnKeys, 1000.0), *body);

    // The same signature on a body changed in one member does not verify.
    Json changed = *envelope;
    changed["body"]["iat"] = 1001;
    try {
      verifier.verify(changed, kOwnKeys, 1000.0);
      ADD_FAILURE() << "a changed body verified";
    } catch (const Rejected& r) {
      EXPECT_EQ(r.code(), "bad_signature");
    }
  }
}

}  // namespace
}  // namespace orvel::commands
