#pragma once

#include <QLocale>
#include <QString>

// The offline speech model: PocketSphinx's US-English acoustic model, language model and
// pronouncing dictionary as the distribution installs them.
namespace SpeechModel {

QString directory();
QString acousticModel();
QString languageModel();
QString dictionary();
// Every model file is present.
bool installed();
// The model serves every English locale and the C locale; other languages have none.
bool supports(const QLocale &locale);

// The JSGF grammar that replaces the language model, empty for none. Only tests set one: the
// general model misreads synthetic speech, a grammar of the spoken sentences does not.
QString grammar();
void setGrammarForTesting(const QString &path);
// Tests point the model at another folder to see what happens when it is missing.
void setDirectoryForTesting(const QString &path);

} // namespace SpeechModel
