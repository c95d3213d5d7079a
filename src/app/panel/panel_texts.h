// The texts the panel composes from the model's values. Plain C++ so they are tested without a
// display; numbers are written with a full stop whatever the process locale (Qt sets the user's).
#pragma once

#include <optional>
#include <string>

#include "core/engine/engine.h"
#include "core/links/translator.h"

namespace quendra::PanelTexts {

// "Spento", "Mi collego…", "Attivo", "Mi ricollego…", "Chiuso", "Errore", "Voce originale".
std::string stateLabel(LinkState state);
// The label, with ": " and the error when there is one and the direction is not off.
std::string stateLine(LinkState state, const std::string& error);
// `title` followed by ": N%", N the value × 100 rounded to a whole number.
std::string sliderTitle(const std::string& title, double value);
// "Sto ancora traducendo (N s)".
std::string tailLine(double seconds);
// "Costo stimato: 0,00 € (0.0 min mandati, 0.0 ricevuti)".
std::string costLine(const EngineStatus& status);
// An amount in euros as the user types it ("10", "10,50", "10.5", " 7 € "): none for anything
// else, for zero or less and for an empty text.
std::optional<double> euroAmount(const std::string& text);
// The amount with two decimals and a comma ("10,50"), for the field that edits it.
std::string euroField(double amount);
// `value` with `decimals` digits after a full stop, rounded as printf does.
std::string fixed(double value, int decimals);

}  // namespace quendra::PanelTexts
