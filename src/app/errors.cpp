#include "app/errors.h"

namespace app {

namespace {

// The Windows system error codes that have a text of their own.
enum : uint32_t { kFileNotFound = 2, kPathNotFound = 3, kTooManyOpenFiles = 4, kAccessDenied = 5 };

}  // namespace

std::string InOutError::message(uint32_t code, const std::string& name) {
  switch (code) {
    case kFileNotFound: return "Impossible de trouver le fichier sp\u00E9cifi\u00E9";
    case kPathNotFound: return "Nom de fichier incorrect - " + name;
    case kTooManyOpenFiles: return "Trop de fichiers ouverts";
    case kAccessDenied: return "Acc\u00E8s au fichier refus\u00E9";
    default: return "Erreur E/S " + std::to_string(code);
  }
}

}  // namespace app
