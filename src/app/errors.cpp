#include "app/errors.h"

namespace app {

std::string InOutError::message(uint32_t code, const std::string& name) {
  switch (code) {
    case 2: return "Impossible de trouver le fichier sp\u00E9cifi\u00E9";
    case 3: return "Nom de fichier incorrect - " + name;
    case 4: return "Trop de fichiers ouverts";
    case 5: return "Acc\u00E8s au fichier refus\u00E9";
    default: return "Erreur E/S " + std::to_string(code);
  }
}

}  // namespace app
