# Asks pipeword for its word: .\pipeword-client.ps1 [-Request TEXT]
param([string]$Request = "Hello")
$pipe = [System.IO.Pipes.NamedPipeClientStream]::new(".", "SamplePipe",
    [System.IO.Pipes.PipeDirection]::InOut)
try {
    $pipe.Connect(5000)  # waits up to 5 s for the server to start
    $pipe.ReadMode = [System.IO.Pipes.PipeTransmissionMode]::Message
    $bytes = [System.Text.Encoding]::Unicode.GetBytes($Request + [char]0)
    $pipe.Write($bytes, 0, $bytes.Length)  # one message
    $reply = [byte[]]::new(4096)
    $count = $pipe.Read($reply, 0, $reply.Length)  # one message
    if ($count -eq 0) { throw "the server closed the pipe without a reply" }
    [System.Text.Encoding]::Unicode.GetString($reply, 0, $count).TrimEnd([char]0)
} catch {
    [Console]::Error.WriteLine("pipeword client: $($_.Exception.Message)")
    exit 2
} finally {
    $pipe.Dispose()
}
