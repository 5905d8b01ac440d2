// Encodes a batch of MIDI files on a pool of threads. Each file's result lands in the slot of its
// input position, so results come back in input order whatever the threads' timing; a file that
// fails is a failed result in its slot and never stops the batch.
#pragma once

#include <string>
#include <vector>

#include "encode_pipeline.hpp"

namespace noteloom {

// `threads` workers at most (at least one: the calling thread works too).
std::vector<Result<EncodedPiece>> encode_batch(const std::vector<std::string>& paths, const AbsTokenizer& tok,
                                               const PipelineOptions& options, unsigned threads);

}  // namespace noteloom
