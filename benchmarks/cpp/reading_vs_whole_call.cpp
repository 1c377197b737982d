// How close extraction comes to the unavoidable walk over the telemetry's Python
// objects: times, interleaved in one process and on the same dicts, the floor
// reader (floor_reader.hpp), the extension's telemetry reader alone, the whole
// extract_features_rs call and the analyses alone on the visit read once, for
// each visit shape. The whole call less the reading is what the analyses cost
// in place, after a walk over the objects that pushed their tables out of the
// processor's caches.
//
//   benchmarks/cpp/run.sh [rounds]          (builds with VELTRIX_BUILD_BENCHMARKS=ON, then runs)
//   reading_vs_whole_call --repeat floor|reader|whole SHAPE TIMES
//                                           (one contender on the shape's pointer samples only,
//                                            for counting instructions: benchmarks/cpp/run.sh --instructions)
//
// Prints per-call medians and the ratios to the floor; exits 1 when a shape
// misses its ceiling. Times are the thread's CPU time, so other processes on a
// busy machine shift them less than wall-clock time would.

#include <Python.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "floor_reader.hpp"
#include "kinematics/python_telemetry_reader.hpp"
#include "kinematics/visit_features.hpp"

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
    std::optional<double> ceiling;  // largest acceptable whole call / floor reading ratio
    int batch_calls = 1;
    std::vector<double> floor_ns{};  // per-call time of each batch
    std::vector<double> reading_ns{};
    std::vector<double> whole_ns{};
    std::vector<double> analyses_ns{};
    veltrix::ParsedTelemetry parsed{};  // the visit, read once for the analyses alone
};

// Ceilings on the whole call over the floor's reading alone: reading and analyses
// together may cost only this many times the bare walk over the objects.
std::optional<double> ratio_ceiling(const std::string& shape) {
    if (shape == "typical") return 3.5;
    if (shape == "rich") return 2.5;
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

void floor_only(PyObject* visit) {
    const floor_reader::Visit read = floor_reader::read_visit(visit);
    records_read = read.points.size() + read.keystrokes.size();
}

void read_only(PyObject* visit) {
    veltrix::ParsedTelemetry telemetry;
    if (!veltrix::py::read_telemetry(visit, telemetry)) fail_with_python_error("reading stopped");
    records_read = telemetry.points.size() + telemetry.keystrokes.size();
}

volatile double feature_sink = 0.0;

void analyses_only(const veltrix::ParsedTelemetry& parsed) {
    feature_sink = veltrix::compute_visit_features(parsed).mouse.spectral.spectral_entropy;
}

void whole_call(PyObject* extract_features, PyObject* visit) {
    PyObject* features = PyObject_CallOneArg(extract_features, visit);
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

// Doubles the batch until the floor reader, the cheapest contender, fills kMinBatchDuration.
int calibrated_batch(const Shape& shape) {
    int calls = 1;
    while (nanoseconds_per_call(calls, [&] { floor_only(shape.visit); }) * calls <
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
        if (!veltrix::py::read_telemetry(shape.visit, shape.parsed)) fail_with_python_error("reading stopped");
        for (int i = 0; i < kWarmUpCalls; ++i) {
            analyses_only(shape.parsed);
            floor_only(shape.visit);
            read_only(shape.visit);
            whole_call(extract_features, shape.visit);
        }
        shape.batch_calls = calibrated_batch(shape);
    }
    for (int round = 0; round < rounds; ++round) {
        for (Shape& shape : shapes) {
            const auto time = [&](std::vector<double>& samples, auto call) {
                samples.push_back(nanoseconds_per_call(shape.batch_calls, call));
            };
            const std::array<std::function<void()>, 4> contenders = {
                [&] { time(shape.floor_ns, [&] { floor_only(shape.visit); }); },
                [&] { time(shape.reading_ns, [&] { read_only(shape.visit); }); },
                [&] { time(shape.whole_ns, [&] { whole_call(extract_features, shape.visit); }); },
                [&] { time(shape.analyses_ns, [&] { analyses_only(shape.parsed); }); },
            };
            // Rotating which goes first cancels any warm-cache advantage of the later ones.
            for (std::size_t i = 0; i < contenders.size(); ++i) contenders[(i + round) % contenders.size()]();
        }
    }
}

// Median over rounds of a per-round ratio, so load that slows one round slows both sides.
double median_ratio(const std::vector<double>& numerators, const std::vector<double>& denominators) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < numerators.size(); ++i) ratios.push_back(numerators[i] / denominators[i]);
    return median(ratios);
}

bool report(const std::vector<Shape>& shapes, int rounds) {
    std::printf(
        "median thread CPU time per call over %d interleaved rounds, in us; ratios are medians of "
        "per-round ratios\n",
        rounds);
    std::printf("%-8s %6s %8s %8s %8s %9s %9s %9s %10s %8s  %s\n", "shape", "batch", "floor", "reading", "whole",
                "analyses", "in place", "read/flr", "whole/flr", "ceiling", "verdict");
    bool all_met = true;
    for (const Shape& shape : shapes) {
        const double whole_over_floor = median_ratio(shape.whole_ns, shape.floor_ns);
        std::vector<double> in_place;
        for (std::size_t i = 0; i < shape.whole_ns.size(); ++i)
            in_place.push_back(shape.whole_ns[i] - shape.reading_ns[i]);
        std::string ceiling = "-";
        std::string verdict = "no target";
        if (shape.ceiling) {
            const bool met = whole_over_floor <= *shape.ceiling;
            all_met = all_met && met;
            ceiling = std::to_string(*shape.ceiling).substr(0, 4);
            verdict = met ? "target met" : "TARGET MISSED";
        }
        std::printf("%-8s %6d %8.2f %8.2f %8.2f %9.2f %9.2f %9.2f %10.2f %8s  %s\n", shape.name.c_str(),
                    shape.batch_calls, median(shape.floor_ns) / 1000.0, median(shape.reading_ns) / 1000.0,
                    median(shape.whole_ns) / 1000.0, median(shape.analyses_ns) / 1000.0, median(in_place) / 1000.0,
                    median_ratio(shape.reading_ns, shape.floor_ns), whole_over_floor, ceiling.c_str(), verdict.c_str());
    }
    std::printf("analyses: alone, on the visit read once; in place: whole call less reading, same round\n");
    return all_met;
}

// A visit holding only the shape's pointer samples, so that a count divided by
// their number is the cost of one pointer dict.
PyObject* pointer_samples_only(PyObject* visit) {
    PyObject* only = checked(PyDict_New(), "cannot create a dict");
    PyObject* movements = checked(PyDict_GetItemString(visit, "mouse_movements"), "visit without movements");
    if (PyDict_SetItemString(only, "mouse_movements", movements) < 0) fail_with_python_error("cannot fill a dict");
    return only;
}

// Runs one contender `times` times for an instruction count.
int repeat(const std::vector<Shape>& shapes, PyObject* extract_features, const std::string& contender,
           const std::string& shape_name, int times) {
    const auto shape = std::find_if(shapes.begin(), shapes.end(), [&](const Shape& s) { return s.name == shape_name; });
    if (shape == shapes.end()) {
        std::fprintf(stderr, "error: no shape named %s\n", shape_name.c_str());
        return 2;
    }
    PyObject* visit = pointer_samples_only(shape->visit);
    std::function<void()> call;
    if (contender == "floor") call = [&] { floor_only(visit); };
    if (contender == "reader") call = [&] { read_only(visit); };
    if (contender == "whole") call = [&] { whole_call(extract_features, visit); };
    if (!call) {
        std::fprintf(stderr, "error: contender must be floor, reader or whole\n");
        return 2;
    }
    call();  // first-use work (interned keys, tables) is not what is counted
    for (int i = 0; i < times; ++i) call();
    std::printf("%zd pointer samples\n", PyList_GET_SIZE(PyDict_GetItemString(visit, "mouse_movements")));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (PyImport_AppendInittab("veltrix_core_rs", PyInit_veltrix_core_rs) < 0) {
        std::fprintf(stderr, "error: cannot register veltrix_core_rs\n");
        return 2;
    }
    Py_InitializeEx(0);
    std::vector<Shape> shapes = load_shapes();
    PyObject* module = checked(PyImport_ImportModule("veltrix_core_rs"), "cannot import veltrix_core_rs");
    PyObject* extract_features =
        checked(PyObject_GetAttrString(module, "extract_features_rs"), "no extract_features_rs");

    if (argc == 5 && std::string(argv[1]) == "--repeat") {
        return repeat(shapes, extract_features, argv[2], argv[3], std::max(1, std::atoi(argv[4])));
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRounds;
    measure(shapes, extract_features, rounds);
    const bool all_met = report(shapes, rounds);
    // The interpreter is left running: the module is built never to be torn down.
    return all_met ? 0 : 1;
}
