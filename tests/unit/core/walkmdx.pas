{ walkmdx TABLE.DBF LIMIT
  Opens a table with the Free Pascal TDbf component, read-only, deleted records shown,
  and walks every tag of its production index from first to last, printing one line
  per tag: "TAG name: rec rec rec ...". At most LIMIT records are printed per tag, so
  that an index the component cannot follow ends instead of looping. }
program walkmdx;
{$mode objfpc}{$H+}
uses SysUtils, db, dbf;
var
  T: TDbf;
  i, n, limit: Integer;
begin
  if ParamCount <> 2 then
  begin
    WriteLn(StdErr, 'usage: walkmdx TABLE.DBF LIMIT');
    Halt(64);
  end;
  limit := StrToInt(ParamStr(2));
  T := TDbf.Create(nil);
  try
    T.FilePathFull := ExtractFilePath(ExpandFileName(ParamStr(1)));
    T.TableName := ExtractFileName(ParamStr(1));
    T.ReadOnly := True;
    T.ShowDeleted := True;
    T.Open;
    for i := 0 to T.Indexes.Count - 1 do
    begin
      T.IndexName := T.Indexes[i].Name;
      T.First;
      n := 0;
      Write('TAG ', T.Indexes[i].Name, ':');
      while (not T.EOF) and (n < limit) do
      begin
        Inc(n);
        Write(' ', T.PhysicalRecNo);
        T.Next;
      end;
      WriteLn;
    end;
    T.Close;
  finally
    T.Free;
  end;
end.
