#include "results_table.h"

#include "benchmarks.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <tuple>

namespace kestrin_bench {

namespace {

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string withSeparators(int n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string milliseconds(double seconds) {
    const double ms = seconds * 1e3;
    return format(ms < 0.1 ? "%.4f ms" : ms < 10 ? "%.3f ms" : "%.1f ms", ms);
}

const char* verdict(bool met) {
    return met ? "met" : "NOT met";
}

} // namespace

void ResultsTable::add(const benchmark::BenchmarkReporter::Run& run) {
    // With repetitions, the median stands for the figure; without, the only run does.
    if (run.run_type == benchmark::BenchmarkReporter::Run::RT_Aggregate && run.aggregate_name != "median")
        return;
    const std::string name = run.run_name.function_name;
    auto& result = m_results[name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args)];
    if (run.run_type == benchmark::BenchmarkReporter::Run::RT_Iteration && result.seconds > 0 &&
        run.repetitions > 1)
        return; // a median follows
    if (run.error_occurred) {
        result.error = run.error_message;
        return;
    }
    const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
    result.seconds = run.GetAdjustedRealTime() / unit;
    for (const auto& [key, counter] : run.counters)
        result.counters[key] = counter.value;
}

const ResultsTable::Result* ResultsTable::find(const std::string& name) const {
    const auto it = m_results.find(name);
    return it == m_results.end() || !it->second.error.empty() || it->second.seconds <= 0 ? nullptr
                                                                                         : &it->second;
}

std::vector<ResultsTable::Row> ResultsTable::rows() const {
    std::vector<Row> rows;
    const auto missing = [&](const std::string& figure, const std::string& target) {
        rows.push_back({figure, "not measured", target, "-"});
    };
    const auto time = [&](const std::string& name) -> double {
        const Result* r = find(name);
        return r ? r->seconds : -1;
    };
    const auto counter = [&](const std::string& name, const std::string& key) -> double {
        const Result* r = find(name);
        if (!r)
            return -1;
        const auto it = r->counters.find(key);
        return it == r->counters.end() ? -1 : it->second;
    };
    // A row for a way that must be at least `times` cheaper than another.
    const auto cheaperRow = [&](const std::string& figure, double cheap, double dear, double times) {
        const std::string target = format(">= %.0fx cheaper", times);
        if (cheap > 0 && dear > 0)
            rows.push_back({figure,
                            format("%.1fx cheaper", dear / cheap) + " (" + milliseconds(cheap) + " vs " +
                                milliseconds(dear) + ")",
                            target, verdict(dear / cheap >= times)});
        else
            missing(figure, target);
    };
    // A row for a figure that must stay within `limit` times another; `extra` goes after the two.
    const auto ratioRow = [&](const std::string& figure, double value, double base, double limit,
                              const std::string& extra = std::string()) {
        const std::string target = format("<= %gx", limit);
        if (value > 0 && base > 0)
            rows.push_back({figure,
                            format(value / base < 10 ? "%.2fx" : "%.0fx", value / base) + " (" +
                                milliseconds(value) + " vs " + milliseconds(base) + extra + ")",
                            target, verdict(value / base <= limit)});
        else
            missing(figure, target);
    };
    const std::vector<int>& sizes = cellSizes();
    const int smallest = sizes.front(), largest = sizes.back(), middle = 1000;
    const std::string at = "/";

    // Adding one object.
    {
        const double small = time("AddObject/" + std::to_string(smallest));
        const double large = time("AddObject/" + std::to_string(largest));
        const std::string figure =
            "Add one object (construct, rebuildViewer, updateProjectTreeContent, render): N=" +
            withSeparators(largest) + " vs N=" + withSeparators(smallest);
        if (small > 0 && large > 0)
            rows.push_back({figure,
                            format("%.2fx", large / small) + " (" + milliseconds(large) + " vs " +
                                milliseconds(small) + ")",
                            "<= 2x", verdict(large / small <= 2.0)});
        else
            missing(figure, "<= 2x");
    }
    {
        const double add = time("AddObject/" + std::to_string(middle));
        const double build = time("BuildFromNothing/" + std::to_string(middle));
        const std::string figure =
            "Add one object vs build scene and tree from nothing (rebuild, tree, render): N=" +
            withSeparators(middle);
        cheaperRow(figure, add, build, 20);
    }
    {
        const double small = time("AddObjectWithoutFrame/" + std::to_string(smallest));
        const double large = time("AddObjectWithoutFrame/" + std::to_string(largest));
        const double build = time("BuildWithoutFrame/" + std::to_string(middle));
        const double add = time("AddObjectWithoutFrame/" + std::to_string(middle));
        const std::string figure =
            "Add one object, scene and tree only (no frame): N=" + withSeparators(largest) +
            " vs N=" + withSeparators(smallest);
        if (small > 0 && large > 0)
            rows.push_back({figure,
                            format("%.2fx", large / small) + " (" + milliseconds(large) + " vs " +
                                milliseconds(small) + ")",
                            "-", "-"});
        else
            missing(figure, "-");
        const std::string vsBuild =
            "Add one object vs build from nothing, scene and tree only (no frame): N=" +
            withSeparators(middle);
        if (add > 0 && build > 0)
            rows.push_back({vsBuild,
                            format("%.1fx cheaper", build / add) + " (" + milliseconds(add) + " vs " +
                                milliseconds(build) + ")",
                            "-", "-"});
        else
            missing(vsBuild, "-");
    }
    {
        const double small = time("AddObject/" + std::to_string(smallest)) +
                             time("RecordUndoStep/" + std::to_string(smallest));
        const double large =
            time("AddObject/" + std::to_string(largest)) + time("RecordUndoStep/" + std::to_string(largest));
        const std::string figure =
            "Add one object with its undo step (history().record): N=" + withSeparators(largest) +
            " vs N=" + withSeparators(smallest);
        if (find("RecordUndoStep/" + std::to_string(smallest)) &&
            find("RecordUndoStep/" + std::to_string(largest)) && small > 0 && large > 0)
            rows.push_back({figure,
                            format("%.2fx", large / small) + " (" + milliseconds(large) + " vs " +
                                milliseconds(small) + ")",
                            "<= 2x", verdict(large / small <= 2.0)});
        else
            missing(figure, "<= 2x");
    }
    // The 3-D view of a large cell.
    {
        const double small = time("RenderFrame/" + std::to_string(smallest));
        const double large = time("RenderFrame/" + std::to_string(largest));
        const std::string figure =
            "Render one frame, camera turning (all drawn): N=" + withSeparators(largest) +
            " vs N=" + withSeparators(smallest);
        if (small > 0 && large > 0)
            rows.push_back({figure,
                            format("%.2fx", large / small) + " (" + milliseconds(large) + " vs " +
                                milliseconds(small) + ")",
                            "<= 10x", verdict(large / small <= 10.0)});
        else
            missing(figure, "<= 10x");
    }
    {
        const double none = counter("PeakMemory/0", "peak_mb");
        const double full = counter("PeakMemory/" + std::to_string(largest), "peak_mb");
        const std::string figure =
            "Peak memory of a process showing a cell: N=" + withSeparators(largest) + " above N=0 (VmHWM)";
        if (none > 0 && full > 0)
            rows.push_back({figure, format("%.0f MB (%.0f MB vs %.0f MB)", full - none, full, none),
                            "<= 150 MB", verdict(full - none <= 150.0)});
        else
            missing(figure, "<= 150 MB");
    }
    {
        const std::string n = "/" + std::to_string(largest);
        const double open = time("OpenInStudio" + n), load = time("LoadProject" + n);
        const std::string figure = "Open a file in the studio to its first frame (load, view, tree, camera, "
                                   "render) vs Project::load: N=" +
                                   withSeparators(largest);
        if (open > 0 && load > 0)
            rows.push_back(
                {figure,
                 format("%.2fx", open / load) + " (" + milliseconds(open) + " vs " + milliseconds(load) + ")",
                 "<= 3x", verdict(open / load <= 3.0)});
        else
            missing(figure, "<= 3x");
    }
    // Undo.
    {
        const double small = time("UndoOneChange/" + std::to_string(smallest));
        const double large = time("UndoOneChange/" + std::to_string(largest));
        const std::string figure =
            "Undo of a one-object step (UndoHistory::undo): N=" + withSeparators(largest) +
            " vs N=" + withSeparators(smallest);
        if (small > 0 && large > 0)
            rows.push_back({figure,
                            format("%.2fx", large / small) + " (" + milliseconds(large) + " vs " +
                                milliseconds(small) + ")",
                            "<= 2x", verdict(large / small <= 2.0)});
        else
            missing(figure, "<= 2x");
    }
    {
        const std::string name = "UndoMemory/" + std::to_string(largest);
        const double held = counter(name, "history_bytes");
        const double snapshot = counter(name, "snapshot_bytes");
        const std::string figure =
            "Undo history after 500 one-object steps vs one snapshot of the project: N=" +
            withSeparators(largest);
        if (held > 0 && snapshot > 0)
            rows.push_back(
                {figure, format("%.2fx (%.0f kB vs %.0f kB)", held / snapshot, held / 1024, snapshot / 1024),
                 "<= 2x", verdict(held / snapshot <= 2.0)});
        else
            missing(figure, "<= 2x");
    }
    const auto linear = [&](const std::string& family, const std::vector<int>& at, const std::string& what) {
        const double small = time(family + "/" + std::to_string(at.front()));
        const double large = time(family + "/" + std::to_string(at.back()));
        const double sizeRatio = double(at.back()) / at.front();
        const std::string target = format("<= %.0fx (linear)", sizeRatio);
        const std::string figure =
            what + ": N=" + withSeparators(at.back()) + " vs N=" + withSeparators(at.front());
        if (small > 0 && large > 0)
            rows.push_back({figure,
                            format("%.2fx", large / small) + " (" + milliseconds(large) + " vs " +
                                milliseconds(small) + ")",
                            target, verdict(large / small <= sizeRatio)});
        else
            missing(figure, target);
    };
    linear("StudioUndo", undoStudioSizes(),
           "Undo of a one-object step in the studio (undo, rebuildViewer, tree, render)");
    linear("CloseCell", closeSizes(), "Close a drawn and listed cell (newProject, render)");
    for (int n : sizes) {
        const std::string size = "N=" + withSeparators(n);
        const struct {
            const char* family;
            const char* label;
        } families[] = {{"AddObject", "Add one object"},
                        {"AddObjectWithoutFrame", "Add one object, no frame"},
                        {"RecordUndoStep", "Undo step, UndoHistory::record"},
                        {"BuildFromNothing", "Build scene and tree from nothing"},
                        {"BuildWithoutFrame", "Build scene and tree from nothing, no frame"},
                        {"RenderFrame", "Render one frame, camera turning (all drawn)"},
                        {"RenderKeptFrame", "Render one frame, nothing changed (kept image)"}};
        for (const auto& f : families) {
            const double t = time(std::string(f.family) + at + std::to_string(n));
            if (t > 0)
                rows.push_back({std::string(f.label) + ": " + size, milliseconds(t), "-", "-"});
            else
                missing(std::string(f.label) + ": " + size, "-");
        }
    }

    // Who uses what, asked for every object and variable before deleting everything.
    {
        const std::string n = at + std::to_string(largest);
        const double indexed = time("UsersOfEverythingIndexed" + n),
                     alone = time("UsersOfEverythingOneByOne" + n);
        const std::string figure =
            "Users of everything before a delete, one index vs Project::usersOf each: N=" +
            withSeparators(largest);
        cheaperRow(figure, indexed, alone, 10);
    }

    // Project files.
    {
        const std::string n = at + std::to_string(largest);
        const double load = time("LoadProject" + n), parse = time("ParseJson" + n);
        const std::string figure =
            "Project::load vs QJsonDocument::fromJson of the same bytes, one thread: N=" +
            withSeparators(largest);
        if (load > 0 && parse > 0)
            rows.push_back({figure,
                            format("%.2fx", load / parse) + " (" + milliseconds(load) + " vs " +
                                milliseconds(parse) + ", " +
                                format("%.1f MB", counter("LoadProject" + n, "bytes") / 1e6) + ")",
                            "<= 3x", verdict(load / parse <= 3.0)});
        else
            missing(figure, "<= 3x");
        const double save = time("SaveProject" + n), write = time("WriteJson" + n);
        const std::string saveFigure =
            "Project::save vs QJsonDocument(obj).toJson() + QSaveFile, one thread: N=" +
            withSeparators(largest);
        if (save > 0 && write > 0)
            rows.push_back({saveFigure,
                            format("%.2fx", save / write) + " (" + milliseconds(save) + " vs " +
                                milliseconds(write) + ")",
                            "<= 3x", verdict(save / write <= 3.0)});
        else
            missing(saveFigure, "<= 3x");
    }

    // Start-up.
    {
        const double studio = counter("Startup", "studio_ms"), baseline = counter("Startup", "baseline_ms");
        const std::string figure =
            "Start-up to first frame of the demo cell vs Qt+VTK cube program (medians)";
        if (studio > 0 && baseline > 0)
            rows.push_back({figure, format("%.2fx (%.0f ms vs %.0f ms)", studio / baseline, studio, baseline),
                            "<= 1.5x", verdict(studio / baseline <= 1.5)});
        else
            missing(figure, "<= 1.5x");
    }

    // Simulation.
    for (const auto& [name, label, hasTarget] :
         {std::tuple{"SimulateLongRun", "Headless simulation, 200 moves on the demo cell", true},
          std::tuple{"SimulateDemo",
                     "Headless simulation with collision checking, the demo's 'Pick and Place'", true}}) {
        const double wall = time(name), simulated = counter(name, "sim_s");
        const std::string figure = std::string(label) + ": simulated s per wall-clock s";
        const std::string target = hasTarget ? ">= 1000" : "-";
        if (wall > 0 && simulated > 0)
            rows.push_back({figure,
                            format("%.0f (%.1f s in %.2f ms)", simulated / wall, simulated, wall * 1e3),
                            target, hasTarget ? verdict(simulated / wall >= 1000) : "-"});
        else
            missing(figure, target);
    }

    // Trials.
    {
        const double one = time("TrialsThroughput/1"), two = time("TrialsThroughput/2");
        const double batch = counter("TrialsThroughput/1", "trials");
        const std::string figure = "Trials of the demo per second: 2 jobs vs 1 (runTrials, 2 cores)";
        if (one > 0 && two > 0 && batch > 0)
            rows.push_back({figure,
                            format("%.2fx (%.0f vs %.0f trials/s)", one / two, batch / two, batch / one),
                            ">= 1.7x", verdict(one / two >= 1.7)});
        else
            missing(figure, ">= 1.7x");
        const double trial = time("TrialDemo"), plain = time("SimulateDemo");
        const std::string cost = "One trial of the demo vs one plain headless run of it";
        if (trial > 0 && plain > 0)
            rows.push_back({cost,
                            format("%.2fx", trial / plain) + " (" + milliseconds(trial) + " vs " +
                                milliseconds(plain) + ")",
                            "<= 1.2x", verdict(trial / plain <= 1.2)});
        else
            missing(cost, "<= 1.2x");
    }

    // Collision checking.
    {
        const std::string small = std::to_string(smallest), large = std::to_string(largest);
        const double a = time("CollisionCheck/" + small), b = time("CollisionCheck/" + large);
        const std::string figure = "One collision check of a robot pose (CollisionWorld::checkRobotAt): N=" +
                                   withSeparators(largest) + " vs N=" + withSeparators(smallest);
        if (a > 0 && b > 0)
            rows.push_back({figure,
                            format("%.2fx", b / a) + " (" + milliseconds(b) + " vs " + milliseconds(a) + ")",
                            "<= 3x", verdict(b / a <= 3.0)});
        else
            missing(figure, "<= 3x");
        const double movedA = time("MoveAndCollisionCheck/" + small);
        const double movedB = time("MoveAndCollisionCheck/" + large);
        const std::string moved =
            "Move a robot, then check it (setJointPositions, checkRobotAt): N=" + withSeparators(largest) +
            " vs N=" + withSeparators(smallest);
        if (movedA > 0 && movedB > 0)
            rows.push_back({moved,
                            format("%.2fx", movedB / movedA) + " (" + milliseconds(movedB) + " vs " +
                                milliseconds(movedA) + ")",
                            "-", "-"});
        else
            missing(moved, "-");
    }

    // A cell of parts from CAD: 100 items of 100,000-triangle meshes.
    {
        ratioRow("Open a cell of 100 items of 100,000-triangle meshes in the studio to its first frame vs "
                 "Project::load of the file",
                 time("OpenMeshCellInStudio"), time("LoadMeshCell"), 3,
                 format(", %.0f MB", counter("LoadMeshCell", "bytes") / 1e6));
        ratioRow(
            "One collision check of an arm swept among those 100 meshes vs among boxes of the same sizes",
            time("CollisionCheckAmong/Meshes"), time("CollisionCheckAmong/Boxes"), 300);
        const double first = time("CollisionSweepFirst/Meshes"),
                     firstBoxes = time("CollisionSweepFirst/Boxes");
        const std::string sweep =
            "The first sweep (16 checks) in a new world, the meshes' triangles built as the "
            "arm comes near, vs boxes";
        if (first > 0 && firstBoxes > 0)
            rows.push_back({sweep, milliseconds(first) + " vs " + milliseconds(firstBoxes), "-", "-"});
        else
            missing(sweep, "-");
    }

    // Reported as measured.
    {
        const std::string n = at + std::to_string(largest);
        for (const auto& [name, label] : {std::pair{"GetWorkspaceState", "Workspace::_getState"},
                                          std::pair{"SetWorkspaceState", "Workspace::_setState"}}) {
            const double t = time(name + n);
            const std::string figure = std::string(label) + ": N=" + withSeparators(largest);
            if (t > 0)
                rows.push_back({figure, milliseconds(t), "-", "-"});
            else
                missing(figure, "-");
        }
    }
    std::vector<int> memorySizes{0};
    memorySizes.insert(memorySizes.end(), sizes.begin(), sizes.end());
    for (int n : memorySizes) {
        const double mb = counter("PeakMemory/" + std::to_string(n), "peak_mb");
        const std::string figure = "Peak memory (VmHWM) of a process showing a cell: N=" + withSeparators(n);
        if (mb > 0)
            rows.push_back({figure, format("%.0f MB", mb), "-", "-"});
        else
            missing(figure, "-");
    }
    return rows;
}

void ResultsTable::print(std::FILE* out) const {
    const std::vector<Row> table = rows();
    size_t widths[4] = {6, 5, 6, 3};
    for (const Row& r : table) {
        widths[0] = std::max(widths[0], r.figure.size());
        widths[1] = std::max(widths[1], r.value.size());
        widths[2] = std::max(widths[2], r.target.size());
        widths[3] = std::max(widths[3], r.met.size());
    }
    const auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                          const std::string& d) {
        std::fprintf(out, "| %-*s | %-*s | %-*s | %-*s |\n", int(widths[0]), a.c_str(), int(widths[1]),
                     b.c_str(), int(widths[2]), c.c_str(), int(widths[3]), d.c_str());
    };
    std::fprintf(out, "\n");
    line("Figure", "Value", "Target", "Met");
    line(std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
         std::string(widths[3], '-'));
    for (const Row& r : table)
        line(r.figure, r.value, r.target, r.met);
}

} // namespace kestrin_bench
