// Shared pieces of the benchmarks: synthetic photos by size and a way to time one slider event.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "pipeline/pipeline.hpp"

// Photo sizes the benchmarks run at, in megapixels (4:3 frames).
inline const std::vector<int64_t> kPhotoSizes = {2, 12, 48};

// A synthetic photo-like 8-bit BGR image of about `megapixels` million pixels: smooth gradients
// with fine texture. Built once per size and kept.
const cv::Mat& benchPhoto(int megapixels);

// Registers "<name>/<megapixels>" for every size, timed in milliseconds.
void registerPhotoBenchmark(const char* name, void (*run)(benchmark::State&),
                            const std::vector<int64_t>& sizes = kPhotoSizes);

// Registers "<name>/<megapixels>" for every size: one iteration is one slider event of the stage
// `id` at `position` on the photo, the protocol's work included and the display left out.
void registerStageBenchmark(const char* name, int id, int position,
                            const std::vector<int64_t>& sizes = kPhotoSizes);

// A pipeline on a copy of `photo` that has made one move of `slider` already, so that its result
// buffers are mapped (as in every event after the first).
Pipeline warmPipeline(const cv::Mat& photo, const StageSlider& slider, int position);

// Sets the bytes-processed counter of a benchmark over an 8-bit BGR image.
void countImageBytes(benchmark::State& state, const cv::Mat& image);
