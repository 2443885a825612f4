[playlist]
NumberOfEntries=3
File1=http://s.example:8000/stream
Title1=First
File2=relative.mp3
File3=-o/tmp/x
Title2=Second
Version=2
