// The machine on the veth lab: a soft module playing a motion controller
// that executes the stream as a path controller (--path), opened through
// module control, and the machine back end streaming to it, with the
// example parameter and macro folders. Helpers read the module's record
// back: its 5 ms positions, its switches and its figures of each motion.
#pragma once

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "interpreter/macroparser.h"
#include "machine/machineconfig.h"
#include "machine/machinestate.h"
#include "machine/surfacemapping.h"
#include "machine/tooltable.h"
#include "params/parafile.h"
#include "preview/gcodegrafic.h"
#include "realmachine/hardwaremachine.h"
#include "tests/src/io/io_lab.h"

namespace machinelab {

const std::string kExamples = std::string(QUORVANE_SOURCE_DIR) + "/examples";

// One 5 ms position of the module's record, mm (X, Y, Z), with its time.
struct Sample {
  uint64_t micros;
  double p[3];
};

// A switch the module made (PWM command or output word), with its time.
struct Switch {
  uint64_t micros;
  std::string what;
};

// The interpreter's path as the machine runs it (the machine's section of
// every macro), recorded in machine coordinates with arcs cut finely, and
// the machine position at every spindle or output command.
class MachinePath : public GCodeGrafic {
 public:
  MachinePath() : GCodeGrafic(0.0005) {}
  int32_t GetBackEndKind() override { return BACKEND_MACHINE; }
  void AddCmd(const StateChange& change) override {
    const bool spindle = change.code == 'M' && change.num >= 3 && change.num <= 5;
    if (spindle || change.code == 'S' || change.code == 'O') switchPoints.push_back(Here());
    GCodeGrafic::AddCmd(change);
  }
  std::vector<std::array<double, 3>> switchPoints;
  std::array<double, 3> start{};

 private:
  std::array<double, 3> Here() {
    const SegmentList& moves = Path()->Moves();
    if (moves.Empty()) return start;
    const float* e = moves[moves.Size() - 1].end;
    return {e[0], e[1], e[2]};
  }
};

class MachineLab : public IoLab {
 protected:
  void SetUp() override {
    IoLab::SetUp();
    const std::string params = testsupport::MakeTempDir("machine-params");
    std::filesystem::copy(kExamples + "/params", params, std::filesystem::copy_options::recursive);
    Folders::SetParameters(params);
    Folders::SetMacros(kExamples + "/macros");
    OpenParameterFiles();
    LoadMachineConfig();
    LoadToolTable();
  }
  void TearDown() override {
    hardware.reset();  // first: it closes its modules through its driver
    IoLab::TearDown();
    ResetParameterFilesForTest();
    GetMachineConfig() = MachineConfig();
    GetToolTable().Clear();
    ResetMachineStateForTest();
    Folders::SetParameters(testsupport::ScratchDir() + "/params");
    Folders::SetMacros(testsupport::ScratchDir() + "/macros");
  }

  // The soft module (its 5 ms tick `speed` times as fast) and the machine,
  // opened as the application opens it, streaming to it at the same pace.
  void StartMachine(double speed, std::vector<std::string> extra = {}, const std::string& model = "Korrin") {
    extra.insert(extra.end(), {"--path", "--axes", "4", "--speed", std::to_string(speed)});
    module = &StartModSim(Model(1, model, extra));
    hardware = std::make_unique<HardwareMachine>();
    std::string reason;
    ASSERT_TRUE(hardware->Open(reason)) << reason;
    machine = &hardware->Machine();
    key = hardware->Key();
    machine->Stream().Timing().speed = speed;
    machine->StartWorker();
  }
  QuorvDriver& Driver() { return hardware->Driver(); }

  struct RunResult {
    int32_t code = 0;
    std::string text;
    double seconds = 0;
  };
  // Runs a program file; `during` is called every 5 ms until it ends, and a
  // pause (M0) is continued.
  template <class F>
  RunResult RunFile(const std::string& file, F during, int timeoutSeconds = 120) {
    MacroParser parser(machine, &actState);
    parser.NewMainFile(file);
    machine->SetParser(&parser);
    const uint32_t before = machine->RunsFinished();
    const auto t0 = std::chrono::steady_clock::now();
    machine->RunProgram();
    while (machine->RunsFinished() == before) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(timeoutSeconds)) {
        ADD_FAILURE() << "the run did not end";
        machine->Stop(false);
        WaitUntil([&] { return machine->RunsFinished() != before; }, 20000);
        break;
      }
      during();
      if (machine->State() & RealMachine::kPaused) machine->Continue();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    RunResult r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    machine->SetParser(nullptr);
    r.code = machine->LastErrorCode();
    r.text = machine->LastErrorText();
    return r;
  }
  RunResult RunFile(const std::string& file) {
    return RunFile(file, [] {});
  }

  // The path the program gives the machine, from where it stands now.
  std::unique_ptr<MachinePath> ReferencePath(const std::string& file) {
    auto path = std::make_unique<MachinePath>();
    MachineState state(actState, ".reference");
    MacroParser parser(path.get(), &state);
    path->SetMachineState(&parser.State());
    const Transformation* t = state.GetTransformation();
    const Coordinates m = t ? t->ToMachine(state.progPos) : state.progPos;
    path->start = {m.v[0], m.v[1], m.v[2]};
    parser.NewMainFile(file);
    parser.ExecuteProgram(false, 0);
    return path;
  }

  // The time of the record's last line so far (µs).
  uint64_t RecordEnd() {
    const auto lines = netlab::ReadRecord(Record(1));
    return lines.empty() ? 0 : lines.back().micros;
  }
  // The module's record after `since` (µs), once it has been written out.
  void ReadRecord(std::vector<Sample>& samples, std::vector<Switch>& switches, std::vector<std::string>& motions,
                  uint64_t since = 0) {
    ASSERT_TRUE(Driver().Synchronize(key, true));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const MachineConfig& cfg = GetMachineConfig();
    // Positions are written when they change: the one before `since` is
    // where the run starts.
    Sample before{0, {}};
    bool haveBefore = false;
    for (const auto& l : netlab::ReadRecord(Record(1))) {
      if (l.kind == "POS") {
        std::istringstream in(l.text);
        Sample s{l.micros, {}};
        for (int a = 0; a < 3; ++a) {
          long steps = 0;
          in >> steps;
          s.p[a] = static_cast<double>(steps) * cfg.axis[a].resolution;
        }
        if (l.micros <= since) {
          before = s;
          haveBefore = true;
          continue;
        }
        if (haveBefore) {
          before.micros = since;
          samples.push_back(before);
          haveBefore = false;
        }
        samples.push_back(s);
      } else if (l.micros <= since) {
        continue;
      } else if ((l.kind == "CMD" && l.code == 13) || l.kind == "OUT") {
        switches.push_back({l.micros, l.kind + " " + l.text});
      } else if (l.kind == "EVT" && l.text.rfind("motion ", 0) == 0) {
        motions.push_back(l.text);
      }
    }
  }

  netlab::ModSim* module = nullptr;
  std::unique_ptr<HardwareMachine> hardware;
  RealMachine* machine = nullptr;
  uint32_t key = 0;
};

// Distance from p to the segment a-b.
inline double SegmentDistance(const double p[3], const float a[3], const float b[3]) {
  double ab[3], ap[3], len2 = 0, t = 0;
  for (int i = 0; i < 3; ++i) {
    ab[i] = double(b[i]) - a[i];
    ap[i] = p[i] - a[i];
    len2 += ab[i] * ab[i];
    t += ab[i] * ap[i];
  }
  t = len2 > 0 ? std::clamp(t / len2, 0.0, 1.0) : 0.0;
  double d2 = 0;
  for (int i = 0; i < 3; ++i) d2 += (ap[i] - t * ab[i]) * (ap[i] - t * ab[i]);
  return std::sqrt(d2);
}

// The largest distance of the samples from the path. The samples come in
// path order: each is looked for from where the last one was found, and the
// first segment within `bound` is taken (a path that crosses itself must
// not pull the search ahead).
inline double LargestDeviation(const ToolPath& path, const std::vector<Sample>& samples, double bound,
                               size_t* worst = nullptr) {
  const SegmentList& moves = path.Moves();
  double largest = 0;
  size_t at = 0;
  for (size_t k = 0; k < samples.size(); ++k) {
    double best = 1e30;
    size_t bestAt = at;
    for (size_t i = at; i < moves.Size(); ++i) {
      if (moves[i].kind == SegmentKind::Jump) continue;
      const double d = SegmentDistance(samples[k].p, moves.StartOf(i), moves[i].end);
      if (d < best) {
        best = d;
        bestAt = i;
      }
      if (d <= bound) break;
    }
    at = bestAt;
    if (best > largest) {
      largest = best;
      if (worst) *worst = k;
    }
  }
  return largest;
}

// The position when something happened at time t: the last sample before
// it (a sample of the same tick shows that tick's motion, which comes after).
inline const Sample* SampleAt(const std::vector<Sample>& samples, uint64_t micros) {
  const Sample* last = nullptr;
  for (const Sample& s : samples) {
    if (s.micros >= micros) break;
    last = &s;
  }
  return last;
}

}  // namespace machinelab
