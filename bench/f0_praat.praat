# F0 of a clean recording at the analysis frames' centres, by Praat's
# autocorrelation pitch tracker: one line per frame, in Hz, 0 where Praat
# finds the frame unvoiced. bench/evaluate_trackers.py runs it as
#   praat --run bench/f0_praat.praat IN.wav OUT.txt FRAMES SHIFT FIRST_CENTRE
# with the shift and the first frame's centre in seconds.
form F0 at frame centres
    sentence Input in.wav
    sentence Output out.txt
    integer Frames 10
    positive Shift 0.01
    real First_centre 0.005
endform
Read from file: input$
# Time step 5 ms, pitch floor 60 Hz, ceiling 500 Hz.
To Pitch: 0.005, 60, 500
deleteFile: output$
for j from 0 to frames - 1
    t = first_centre + j * shift
    f = Get value at time: t, "Hertz", "linear"
    if f = undefined
        f = 0
    endif
    appendFileLine: output$, fixed$(f, 3)
endfor
