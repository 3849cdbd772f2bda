// Parse and compact write of order documents (1, 200 and 2000 lines) and of the check request,
// with the module's JSON values beside two comparison libraries on the very same texts, run in
// turn; ends with the median ratio of each pair of runs and its spread.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/PairedComparison.h"
#include "lib/json/clsJSONDocument.h"
#include "lib/voucher/DovraMessages.h"

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

}  // namespace

int main(int argc, char** argv) {
  TPairedComparison comparison(
      "Parses and writes order documents and the check request with the module's JSON values\n"
      "and two comparison libraries on the very same texts.");
  for (const TInput& in : Inputs()) {
    const std::string* text = &in.Text;
    comparison.Add("parse/" + in.Name,
                   {"dovra", [text](benchmark::State& s) { ParseDovra(s, *text); }},
                   {{"rapidjson", [text](benchmark::State& s) { ParseRapid(s, *text); }},
                    {"nlohmann", [text](benchmark::State& s) { ParseNlohmann(s, *text); }}});
    comparison.Add("write/" + in.Name,
                   {"dovra", [text](benchmark::State& s) { WriteDovra(s, *text); }},
                   {{"rapidjson", [text](benchmark::State& s) { WriteRapid(s, *text); }},
                    {"nlohmann", [text](benchmark::State& s) { WriteNlohmann(s, *text); }}});
  }
  return comparison.Main(argc, argv);
}
