// Parse and compact write of order documents (1, 200 and 2000 lines) and of the check request,
// with the module's JSON values beside two comparison libraries on the very same texts; prints
// the time ratios measured in this run.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "DovraMessages.h"
#include "clsJSONDocument.h"

namespace {

std::string OrderText(int lines) {
  std::string s = R"({"OrderID":"ORD-2024-000123","StoreID":17,"Cashier":"Anna \"A\" Berg",)"
                  R"("AfterDisc":)";
  s += std::to_string(lines * 75.25 * 0.9).substr(0, 8);
  s += R"(,"Discount":10.5,"LineItems":[)";
  for (int i = 0; i < lines; ++i) {
    if (i) s += ',';
    char line[320];
    std::snprintf(line, sizeof line,
                  R"({"LineNo":%d,"Code":"ART-%05d","Description":"Article %d, 500 g \"fresh\"",)"
                  R"("Quantity":%d,"Price":%d.%02d,"VatRate":0.21,"Weight":%d.125375,)"
                  R"("Discounted":%s,"Tags":["food","daily"]})",
                  i + 1, i * 7 % 100000, i, i % 5 + 1, 1 + i % 200, i * 13 % 100, i % 9,
                  i % 3 ? "false" : "true");
    s += line;
  }
  s += "]}";
  return s;
}

std::string CheckRequestText(const std::string& orderText) {
  const TJSONValue order = ParseJSONDocument(orderText);
  const TJSONValue request = NewObjectDocument();
  SetVoucherRequest(request, "VOUCHER-123", 17, "0612345678", order, NewVoucherItems(order),
                    [] { return 45356.5; });
  return request.ToJSON();
}

struct TInput {
  std::string Name;
  std::string Text;
};

const std::vector<TInput>& Inputs() {
  static const std::vector<TInput> inputs = [] {
    std::vector<TInput> v;
    for (int lines : {1, 200, 2000})
      v.push_back({"order" + std::to_string(lines), OrderText(lines)});
    v.push_back({"request200", CheckRequestText(OrderText(200))});
    return v;
  }();
  return inputs;
}

void ParseDovra(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    TJSONValue v = ParseJSONDocument(text);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void ParseRapid(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void ParseNlohmann(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(text);
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void WriteDovra(benchmark::State& state, const std::string& text) {
  const TJSONValue v = ParseJSONDocument(text);
  for (auto _ : state) {
    std::string out = v.ToJSON();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void WriteRapid(benchmark::State& state, const std::string& text) {
  rapidjson::Document d;
  d.Parse(text.data(), text.size());
  for (auto _ : state) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buf);
    d.Accept(writer);
    benchmark::DoNotOptimize(buf.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void WriteNlohmann(benchmark::State& state, const std::string& text) {
  const nlohmann::ordered_json j = nlohmann::ordered_json::parse(text);
  for (auto _ : state) {
    std::string out = j.dump();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Keeps each case's best processor time per iteration over the repetitions (steadier than wall
// time on a shared machine) so the ratios can be printed after the table.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
      const double t = r.cpu_accumulated_time / static_cast<double>(r.iterations);
      auto [it, added] = Times.emplace(r.run_name.function_name, t);
      if (!added && t < it->second) it->second = t;  // the best repetition
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> Times;
};

}  // namespace

int main(int argc, char** argv) {
  for (const char* arg : std::vector<const char*>(argv + 1, argv + argc)) {
    if (std::string(arg) == "--help") {
      std::printf(
          "Usage: %s [benchmark options]\n"
          "Parses and writes order documents and the check request with the module's JSON\n"
          "values and two comparison libraries, then prints the time ratios.\n",
          argv[0]);
      benchmark::Initialize(&argc, argv);
      return 0;
    }
  }
  const char* ops[] = {"parse", "write"};
  for (const TInput& in : Inputs()) {
    const std::string* text = &in.Text;
    benchmark::RegisterBenchmark(("parse/" + in.Name + "/dovra").c_str(),
                                 [text](benchmark::State& s) { ParseDovra(s, *text); });
    benchmark::RegisterBenchmark(("parse/" + in.Name + "/rapidjson").c_str(),
                                 [text](benchmark::State& s) { ParseRapid(s, *text); });
    benchmark::RegisterBenchmark(("parse/" + in.Name + "/nlohmann").c_str(),
                                 [text](benchmark::State& s) { ParseNlohmann(s, *text); });
    benchmark::RegisterBenchmark(("write/" + in.Name + "/dovra").c_str(),
                                 [text](benchmark::State& s) { WriteDovra(s, *text); });
    benchmark::RegisterBenchmark(("write/" + in.Name + "/rapidjson").c_str(),
                                 [text](benchmark::State& s) { WriteRapid(s, *text); });
    benchmark::RegisterBenchmark(("write/" + in.Name + "/nlohmann").c_str(),
                                 [text](benchmark::State& s) { WriteNlohmann(s, *text); });
  }
  // Three repetitions unless told otherwise: the ratios use the best of them.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=3";
  bool hasRepetitions = false;
  for (char* a : args) hasRepetitions |= std::string(a).rfind("--benchmark_repetitions", 0) == 0;
  if (!hasRepetitions) args.push_back(repetitions.data());
  argc = static_cast<int>(args.size());
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-22s %12s %14s %14s\n", "case", "bytes", "rapidjson/us", "nlohmann/us");
  for (const char* op : ops) {
    for (const TInput& in : Inputs()) {
      const std::string base = std::string(op) + "/" + in.Name + "/";
      const auto ours = reporter.Times.find(base + "dovra");
      const auto rapid = reporter.Times.find(base + "rapidjson");
      const auto nl = reporter.Times.find(base + "nlohmann");
      if (ours == reporter.Times.end() || rapid == reporter.Times.end() ||
          nl == reporter.Times.end() || ours->second <= 0)
        continue;
      std::printf("%-22s %12zu %13.2fx %13.2fx\n", (std::string(op) + "/" + in.Name).c_str(),
                  in.Text.size(), rapid->second / ours->second, nl->second / ours->second);
    }
  }
  std::printf("(a ratio above 1 means the module's code is faster)\n");
  benchmark::Shutdown();
  return 0;
}
