// Runs the openssl command from tests, to make keys and signatures with an
// implementation independent of the program's.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace openssltool {

inline bool Available() {
    static const bool available = std::system("openssl version >/dev/null 2>&1") == 0;
    return available;
}

// A scratch directory, removed at destruction.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/vm-openssl-XXXXXX";
        if (mkdtemp(tmpl)) path_ = tmpl;
    }
    ~ScratchDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

inline bool NewKey(const std::string& keyFile, unsigned bits, unsigned long exponent) {
    return Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
               " -pkeyopt rsa_keygen_pubexp:" + std::to_string(exponent) + " -out '" + keyFile + "'");
}

// The modulus, most significant byte first.
inline std::vector<std::uint8_t> Modulus(const std::string& keyFile) {
    std::string text = keyFile + ".modulus";
    if (!Run("openssl rsa -in '" + keyFile + "' -noout -modulus -out '" + text + "'")) return {};
    std::vector<std::uint8_t> raw = ReadAll(text);
    std::string s(raw.begin(), raw.end());
    std::size_t eq = s.find('=');
    if (eq == std::string::npos) return {};
    std::vector<std::uint8_t> out;
    for (std::size_t i = eq + 1; i + 1 < s.size() && s[i] != '\n'; i += 2) {
        out.push_back(std::uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// RSASSA-PSS with SHA-256 and MGF1-SHA-256; salt is a length, "max" or "auto".
inline std::vector<std::uint8_t> SignPss(const std::string& keyFile, const std::string& salt,
                                         const std::string& messageFile) {
    std::string sig = messageFile + ".sig";
    if (!Run("openssl dgst -sha256 -sign '" + keyFile + "' -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:" +
             salt + " -sigopt rsa_mgf1_md:sha256 -out '" + sig + "' '" + messageFile + "'")) {
        return {};
    }
    return ReadAll(sig);
}

}  // namespace openssltool
