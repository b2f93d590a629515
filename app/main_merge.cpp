// lumenar-merge: combines high-dynamic-range renders of disjoint frame
// ranges of one scene into the image one run of all their frames gives.
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "app/image_merge.h"

int main(int argc, char** argv) {
    lumenar::MergeOptions options;
    CLI::App cli{
        "Lumenar merge: averages OpenEXR images written by lumenar-render --hdr over disjoint frame ranges, "
        "each weighted by its frame count, and writes the merged OpenEXR image."};
    cli.add_option("merged", options.out, "Merged OpenEXR image to write (OUT.exr)")->required();
    cli.add_option("inputs", options.inputs, "OpenEXR images to merge (IN.exr ...)")->required();
    cli.add_option("-o,--out", options.png, "Tone-mapped image (PNG) of the merged average to write as well");
    cli.add_flag("--allow-partial", options.allowPartial,
                 "Merge the inputs that can be read, skipping missing or damaged ones, and say which frames "
                 "are missing");
    cli.add_option(
           "--expect-frames", options.expectFrames,
           "The inputs must cover frames 1 ... N of their sequence (without --allow-partial, a gap is "
           "an error)")
        ->check(CLI::PositiveNumber);
    CLI11_PARSE(cli, argc, argv);
    return lumenar::mergeRenders(options);
}
