#include "curvature/curvature_kernels.hpp"

namespace veltrix {

CurvatureSums curvature_kernel_scalar(PathSamples path, CurvatureSeries series) {
    CurvatureSums sums;
    for (std::size_t segment = 0; segment + 1 < path.samples; ++segment) {
        evaluate_segment(path, series, sums, segment);
    }
    return sums;
}

}  // namespace veltrix
