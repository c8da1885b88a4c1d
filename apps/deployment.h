#pragma once

// Deployment values of the node-loader command lines. Replace them with the hosts of the
// deployment: the code server that serves the proxy executables, the time server the proxy
// synchronises with, and the fixed rendezvous host every proxy is told about.

constexpr const char* kCodeServerHost = "codeserver.example.net";
constexpr const char* kTimeServerHost = "timeserver.example.net";
constexpr const char* kRendezvousHost = "rendezvous.example.net";
