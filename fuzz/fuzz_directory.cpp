// Listing and block selection over arbitrary bytes: the signature, the
// directory and extended directory walk, the listing and the selection for
// every request a caller can make.
#include "container/directory.hpp"
#include "container/listing.hpp"
#include "container/selection.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        ixar::File file(data, size);
        ixar::ReadFailures failures;
        (void)ixar::openDirectory(file, failures, true);  // as a source opens it; then walked whatever the signature
        failures.clear();
        std::vector<ixar::DirEntry> directory = ixar::readDirectory(file, failures);
        // A failed read is logged once per read, and each walk stops at its
        // first entry cut short, so the log stays small whatever the counts claim.
        if (failures.size() > 16) __builtin_trap();
        (void)ixar::listContents(directory);
        for (const ixar::DataBlockCode& type : ixar::dataBlockCodes())
            for (const ixar::DerivativeCode& deriv : ixar::derivativeCodes())
                for (int extend : {0, 10})
                    (void)ixar::selectBlocks(directory, {type.data, type.sample, extend, deriv.code});
    } catch (const ixar::Error&) {
    }
    return 0;
}
