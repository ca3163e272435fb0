// Arbitrary bytes as a router table file: read without a fault, and a table
// read, saved and read again is the same table, saved as the same bytes.

#include "decoder_harness.h"
#include "router/router_file.h"

using namespace marlin;
using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const RouterTable read = DeserializeRouterTable(bytes);
    const QByteArray saved = SerializeRouterTable(read);
    const RouterTable again = DeserializeRouterTable(saved);
    check(again == read);
    check(SerializeRouterTable(again) == saved);
    return 0;
}
