// sarn-till's REST client service (IRestClient on libcurl), registered in the till's registry.
#pragma once

#include <string>

#include "intfDI.h"

struct TRestClientOptions {
  std::string CaFile;               // PEM file of extra trusted certificates; empty: system store
  int32_t ConnectTimeoutMs = 5000;  // connect time-out
  int32_t TimeoutMs = 20000;        // total time-out per request
};

// Registers a factory for IRestClient (unnamed): every resolve yields a fresh client.
void RegisterRestClient(IServiceRegistry* registry, const TRestClientOptions& options);
