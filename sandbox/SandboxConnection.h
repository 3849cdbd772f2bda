// Breaking a TLS connection the way a failing network or service does, after the service has
// acted: no answer at all, or half an answer cut off by a reset.
#pragma once

#include <openssl/ssl.h>

#include <string>

#include "sandbox/SandboxRequest.h"

// Closes the connection under ssl without sending anything (Lost), or sends the status line, the
// headers and half the body of reply and then resets the connection (Reset). The server library
// keeps its hold on the descriptor number, which from then on leads nowhere, so whatever it still
// writes is dropped and its own close stays harmless. False with a message when the connection
// could not be broken as asked.
bool BreakConnection(SSL* ssl, const TSandboxReply& reply, std::string& error);
