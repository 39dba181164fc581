#include "tests/support/vectors.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nolu::qxt::test {

std::string vectors_path() { return QXT_SOURCE_DIR "/tools/vectors.txt"; }

const std::vector<VectorRecord>& shipped_vectors() {
    static const std::vector<VectorRecord> records = [] {
        std::vector<VectorRecord> all;
        std::ifstream in(vectors_path());
        std::string header, nonce, tag;
        while (in >> header >> nonce >> tag) {
            VectorRecord r;
            char* end = nullptr;
            r.nonce = std::strtoull(nonce.c_str(), &end, 10);
            if (*end != '\0' || !hex_decode(header, r.header.data(), r.header.size()) ||
                !hex_decode(tag, r.tag.data(), r.tag.size())) {
                std::fprintf(stderr, "%s: malformed record %zu\n", vectors_path().c_str(), all.size() + 1);
                std::abort();
            }
            all.push_back(r);
        }
        return all;
    }();
    return records;
}

}  // namespace nolu::qxt::test
