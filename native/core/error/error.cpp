#include "error/error.hpp"

namespace qv {

namespace {

std::string with_what(const char* what, const char* en, const char* pt_before, const char* pt_after) {
    const std::string w = what ? what : "";
    return w + en + " \u00b7 " + pt_before + w + pt_after;
}

}  // namespace

std::string render(const Error& e) {
    switch (e.kind) {
        case ErrorKind::Wiped:
            return "secret box was wiped \u00b7 a caixa de segredo foi apagada";
        case ErrorKind::ForkedChild:
            return "secret box is empty in this fork() child; secrets never survive a fork \u00b7 "
                   "a caixa est\u00e1 vazia neste filho de fork(); segredos nunca sobrevivem a um fork";
        case ErrorKind::LockRequired: {
            const std::string n = std::to_string(e.err_no);
            return "mlock failed (errno " + n +
                   ") and QUORVEX_MEMORY_LOCK=require; raise `ulimit -l` or grant CAP_IPC_LOCK \u00b7 "
                   "mlock falhou (errno " + n +
                   ") com QUORVEX_MEMORY_LOCK=require; aumente `ulimit -l` ou conceda CAP_IPC_LOCK";
        }
        case ErrorKind::AllocationFailed:
            return "could not allocate a locked page \u00b7 n\u00e3o foi poss\u00edvel alocar uma p\u00e1gina travada";
        case ErrorKind::EmptySecret:
            return "a secret cannot be empty \u00b7 um segredo n\u00e3o pode ser vazio";
        case ErrorKind::BadLength: {
            // The Portuguese half does not repeat `what`.
            const std::string x = std::to_string(e.expected);
            const std::string g = std::to_string(e.got);
            return std::string(e.what ? e.what : "") + ": expected " + x + " bytes, got " + g +
                   " \u00b7 esperava " + x + " bytes, recebeu " + g;
        }
        case ErrorKind::InvalidKey:
            return "key failed validation \u00b7 chave falhou na valida\u00e7\u00e3o";
        case ErrorKind::OpenFailed:
            return "ciphertext did not open \u00b7 ciphertext n\u00e3o abriu";
        case ErrorKind::StreamFinished:
            return "stream already finished \u00b7 stream j\u00e1 terminou";
        case ErrorKind::Malformed:
            return "malformed " + with_what(e.what, "", "", " malformado");
        case ErrorKind::RngFailed:
            return "operating system RNG failed \u00b7 RNG do sistema operacional falhou";
        case ErrorKind::LockPoisoned:
            return "internal lock poisoned \u00b7 lock interno envenenado";
        case ErrorKind::Unsupported:
            return with_what(e.what, " is not supported on this platform", "",
                             " n\u00e3o \u00e9 suportado nesta plataforma");
    }
    fault("unknown error kind");
}

void fault(const char* text) { throw Fault(text); }

}  // namespace qv
