# Asks pipeword for its word: .\pipeword-client.ps1 [-Request TEXT]
# Exit status as pipeword-client's: 0 word received, 1 pipe closed without a reply, 2 error
param([string]$Request = "Hello")
$pipe = [System.IO.Pipes.NamedPipeClientStream]::new(".", "SamplePipe",
    [System.IO.Pipes.PipeDirection]::InOut)
try {
    try {
        $pipe.Connect(5000)  # waits up to 5 s for the server to start, or to be free
    } catch [System.TimeoutException] {
        # Listing the pipes tells busy from absent without taking an instance.
        if ([System.IO.Directory]::GetFiles("\\.\pipe\") -contains "\\.\pipe\SamplePipe") {
            throw "SamplePipe stayed busy for 5 s: its server is serving another client"
        }
        throw "no server came within 5 s"
    }
    $pipe.ReadMode = [System.IO.Pipes.PipeTransmissionMode]::Message
    $bytes = [System.Text.Encoding]::Unicode.GetBytes($Request + [char]0)
    $pipe.Write($bytes, 0, $bytes.Length)  # one message
    $reply = [byte[]]::new(4096)
    $count = $pipe.Read($reply, 0, $reply.Length)  # one message
    if ($count -eq 0) {
        [Console]::Error.WriteLine("pipeword client: the server closed the pipe without a reply")
        exit 1
    }
    [System.Text.Encoding]::Unicode.GetString($reply, 0, $count).TrimEnd([char]0)
} catch {
    [Console]::Error.WriteLine("pipeword client: $($_.Exception.Message)")
    exit 2
} finally {
    $pipe.Dispose()
}
