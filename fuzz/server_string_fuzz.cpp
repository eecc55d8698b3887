// Server strings and deciphered lists from untrusted bytes: the decoder and the splitter must
// stay inside their buffers, and a list that splits must come back from its own encoding.
#include "ServerString.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As a server string (the text ends at the first NUL, as a C string would).
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ServerList fromString = parseServerString(text.c_str());
    if (fromString.valid && fromString.name.size() > 127) std::abort();

    // As deciphered plain bytes, up to the decoder's output size.
    const size_t plainSize = size < kServerStringMaxPlain ? size : kServerStringMaxPlain;
    const ServerList fromPlain = splitServerList(data, plainSize);
    if (fromPlain.valid) {
        // A list that splits is printable and bracketed: it encodes, and decodes to itself.
        const std::string plain(text.substr(0, plainSize).c_str());
        const std::string encoded = encodeServerString(plain);
        if (encoded.empty()) std::abort();
        uint8_t out[kServerStringMaxPlain];
        if (decode_server_string(encoded.c_str(), out) != 0) std::abort();
        if (std::string(reinterpret_cast<const char*>(out), plain.size()) != plain) std::abort();
        const ServerList again = parseServerString(encoded.c_str());
        if (!again.valid || again.name != fromPlain.name) std::abort();
        for (int i = 0; i < 3; ++i)
            if (again.servers[i].ipv4 != fromPlain.servers[i].ipv4 || again.servers[i].port != fromPlain.servers[i].port)
                std::abort();
    }
    return 0;
}
