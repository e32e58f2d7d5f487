#include "common/WavFiles.h"

namespace lumetta::tools
{
std::optional<Audio> readWav (const juce::File& file, juce::String& error)
{
    if (! file.existsAsFile())
    {
        error = "cannot read " + file.getFullPathName() + ": no such file";
        return std::nullopt;
    }
    auto stream = file.createInputStream();
    if (stream == nullptr)
    {
        error = "cannot read " + file.getFullPathName();
        return std::nullopt;
    }
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::AudioFormatReader> reader (wav.createReaderFor (stream.release(), true));
    if (reader == nullptr)
    {
        error = file.getFullPathName() + " is not a WAV file Lumetta can read";
        return std::nullopt;
    }
    if (reader->numChannels < 1 || reader->numChannels > 2)
    {
        error = file.getFullPathName() + " has " + juce::String (reader->numChannels) + " channels; mono or stereo is needed";
        return std::nullopt;
    }
    if (reader->lengthInSamples <= 0 || reader->lengthInSamples > std::numeric_limits<int>::max())
    {
        error = file.getFullPathName() + " holds no audio";
        return std::nullopt;
    }
    Audio audio;
    audio.sampleRate = reader->sampleRate;
    audio.samples.setSize (static_cast<int> (reader->numChannels), static_cast<int> (reader->lengthInSamples));
    if (! reader->read (&audio.samples, 0, audio.samples.getNumSamples(), 0, true, true))
    {
        error = "cannot read the audio of " + file.getFullPathName();
        return std::nullopt;
    }
    return audio;
}

bool writeWav (const juce::File& file, const juce::AudioBuffer<float>& samples, double sampleRate, juce::String& error)
{
    const auto dir = file.getParentDirectory();
    if (! dir.isDirectory() && ! dir.createDirectory())
    {
        error = "cannot create the folder " + dir.getFullPathName();
        return false;
    }
    juce::TemporaryFile temp (file);
    {
        auto stream = std::make_unique<juce::FileOutputStream> (temp.getFile());
        if (! stream->openedOk())
        {
            error = "cannot write " + file.getFullPathName();
            return false;
        }
        juce::WavAudioFormat wav;
        std::unique_ptr<juce::AudioFormatWriter> writer (wav.createWriterFor (
            stream.get(), sampleRate, static_cast<unsigned int> (samples.getNumChannels()), 32, {}, 0));
        if (writer == nullptr)
        {
            error = "cannot write a WAV file at " + juce::String (sampleRate) + " Hz";
            return false;
        }
        stream.release(); // the writer owns it now
        if (! writer->writeFromAudioSampleBuffer (samples, 0, samples.getNumSamples()) || ! writer->flush())
        {
            error = "cannot write " + file.getFullPathName();
            return false;
        }
    }
    if (! temp.overwriteTargetFileWithTemporary())
    {
        error = "cannot write " + file.getFullPathName();
        return false;
    }
    return true;
}
} // namespace lumetta::tools
