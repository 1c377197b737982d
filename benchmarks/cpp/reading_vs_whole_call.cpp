// How much the analyses add to the unavoidable walk over the telemetry's Python
// objects: times, interleaved in one process and on the same dicts, the telemetry
// reader alone and the whole extract_features_rs call, for each visit shape.
//
//   benchmarks/cpp/run.sh [rounds]    (builds with VELTRIX_BUILD_BENCHMARKS=ON, then runs)
//
// Prints per-call medians and the ratio whole / reading; exits 1 when a shape
// misses its ceiling. Times are the thread's CPU time, so other processes on a
// busy machine shift them less than wall-clock time would.

#include <Python.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "kinematics/python_telemetry_reader.hpp"

PyMODINIT_FUNC PyInit_veltrix_core_rs();

namespace {

// CPU time consumed by the calling thread.
struct ThreadClock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<ThreadClock>;

    static time_point now() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
    }
};

constexpr int kDefaultRounds = 41;
// Each timed batch runs at least this long, so clock resolution and the cost of
// reading the clock stay negligible.
constexpr std::chrono::microseconds kMinBatchDuration{2000};
constexpr int kWarmUpCalls = 50;

struct Shape {
    std::string name;
    PyObject* visit;                // owned, kept until the process ends
    std::optional<double> ceiling;  // largest acceptable whole / reading ratio
    int batch_calls = 1;
    std::vector<double> reading_ns{};  // per-call time of each batch
    std::vector<double> whole_ns{};
};

// Ceilings on whole call / reading alone: the analyses must stay cheap next to the walk.
std::optional<double> ratio_ceiling(const std::string& shape) {
    if (shape == "typical") return 2.0;
    if (shape == "rich") return 1.5;
    return std::nullopt;
}

[[noreturn]] void fail_with_python_error(const char* what) {
    std::fprintf(stderr, "error: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::exit(2);
}

PyObject* checked(PyObject* object, const char* what) {
    if (object == nullptr) fail_with_python_error(what);
    return object;
}

std::vector<Shape> load_shapes() {
    PyObject* sys_path = checked(PySys_GetObject("path"), "no sys.path");  // borrowed
    PyObject* directory = checked(PyUnicode_FromString(VELTRIX_VISIT_SHAPES_DIR), "path string");
    if (PyList_Insert(sys_path, 0, directory) < 0) fail_with_python_error("cannot extend sys.path");
    Py_DECREF(directory);

    PyObject* shapes_module = checked(PyImport_ImportModule("visit_shapes"), "cannot import visit_shapes");
    PyObject* shapes = checked(PyObject_GetAttrString(shapes_module, "SHAPES"), "no visit_shapes.SHAPES");
    PyObject* make_visit = checked(PyObject_GetAttrString(shapes_module, "make_visit"), "no make_visit");
    const Py_ssize_t count = PySequence_Size(shapes);
    if (count < 0) fail_with_python_error("visit_shapes.SHAPES is not a sequence");
    std::vector<Shape> loaded;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* shape = checked(PySequence_GetItem(shapes, i), "cannot fetch a shape");
        PyObject* name = checked(PyObject_GetAttrString(shape, "name"), "shape without a name");
        const char* utf8 = PyUnicode_AsUTF8(name);
        if (utf8 == nullptr) fail_with_python_error("shape name is not text");
        PyObject* visit = checked(PyObject_CallOneArg(make_visit, shape), "make_visit failed");
        loaded.push_back(Shape{.name = utf8, .visit = visit, .ceiling = ratio_ceiling(utf8)});
        Py_DECREF(name);
        Py_DECREF(shape);
    }
    Py_DECREF(make_visit);
    Py_DECREF(shapes);
    Py_DECREF(shapes_module);
    return loaded;
}

// Keeps each reading observable, as the analyses would use it.
volatile std::size_t records_read = 0;

void read_only(const Shape& shape) {
    veltrix::ParsedTelemetry telemetry;
    if (!veltrix::py::read_telemetry(shape.visit, telemetry)) fail_with_python_error("reading stopped");
    records_read = telemetry.points.size() + telemetry.keystrokes.size();
}

void whole_call(PyObject* extract_features, const Shape& shape) {
    PyObject* features = PyObject_CallOneArg(extract_features, shape.visit);
    if (features == nullptr) fail_with_python_error("extract_features_rs raised");
    Py_DECREF(features);
}

template <typename Call>
double nanoseconds_per_call(int calls, Call&& call) {
    const ThreadClock::time_point start = ThreadClock::now();
    for (int i = 0; i < calls; ++i) call();
    const std::chrono::duration<double, std::nano> elapsed = ThreadClock::now() - start;
    return elapsed.count() / calls;
}

// Doubles the batch until reading alone, the cheaper of the two, fills kMinBatchDuration.
int calibrated_batch(const Shape& shape) {
    int calls = 1;
    while (nanoseconds_per_call(calls, [&] { read_only(shape); }) * calls <
           std::chrono::duration<double, std::nano>(kMinBatchDuration).count()) {
        calls *= 2;
    }
    return calls;
}

double median(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

void measure(std::vector<Shape>& shapes, PyObject* extract_features, int rounds) {
    for (Shape& shape : shapes) {
        for (int i = 0; i < kWarmUpCalls; ++i) {
            read_only(shape);
            whole_call(extract_features, shape);
        }
        shape.batch_calls = calibrated_batch(shape);
    }
    for (int round = 0; round < rounds; ++round) {
        for (Shape& shape : shapes) {
            const auto time_reading = [&] {
                shape.reading_ns.push_back(nanoseconds_per_call(shape.batch_calls, [&] { read_only(shape); }));
            };
            const auto time_whole = [&] {
                shape.whole_ns.push_back(
                    nanoseconds_per_call(shape.batch_calls, [&] { whole_call(extract_features, shape); }));
            };
            // Alternating which goes first cancels any warm-cache advantage of the second.
            if (round % 2 == 0) {
                time_reading();
                time_whole();
            } else {
                time_whole();
                time_reading();
            }
        }
    }
}

bool report(const std::vector<Shape>& shapes, int rounds) {
    std::printf("median thread CPU time per call over %d interleaved rounds\n", rounds);
    std::printf("%-8s %7s %12s %12s %8s %8s  %s\n", "shape", "batch", "reading us", "whole us", "ratio",
                "ceiling", "verdict");
    bool all_met = true;
    for (const Shape& shape : shapes) {
        const double reading = median(shape.reading_ns) / 1000.0;
        const double whole = median(shape.whole_ns) / 1000.0;
        const double ratio = whole / reading;
        std::string ceiling = "-";
        std::string verdict = "no target";
        if (shape.ceiling) {
            const bool met = ratio <= *shape.ceiling;
            all_met = all_met && met;
            ceiling = std::to_string(*shape.ceiling).substr(0, 4);
            verdict = met ? "target met" : "TARGET MISSED";
        }
        std::printf("%-8s %7d %12.2f %12.2f %8.3f %8s  %s\n", shape.name.c_str(), shape.batch_calls, reading,
                    whole, ratio, ceiling.c_str(), verdict.c_str());
    }
    return all_met;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRounds;
    if (PyImport_AppendInittab("veltrix_core_rs", PyInit_veltrix_core_rs) < 0) {
        std::fprintf(stderr, "error: cannot register veltrix_core_rs\n");
        return 2;
    }
    Py_InitializeEx(0);
    std::vector<Shape> shapes = load_shapes();
    PyObject* module = checked(PyImport_ImportModule("veltrix_core_rs"), "cannot import veltrix_core_rs");
    PyObject* extract_features =
        checked(PyObject_GetAttrString(module, "extract_features_rs"), "no extract_features_rs");

    measure(shapes, extract_features, rounds);
    const bool all_met = report(shapes, rounds);
    // The interpreter is left running: the module is built never to be torn down.
    return all_met ? 0 : 1;
}
